#include "app/Shell/SessionSearch.h"

#include "app/Model/VoiceSession.h"
#include "platform/text/Folding.h"

namespace veltovoice {
namespace {

QString folded(const std::string& text) {
  return QString::fromStdString(platform::text::foldCaseAndDiacritics(text));
}

}  // namespace

QString SessionSearch::fold(const QString& query) {
  return folded(query.toStdString());
}

bool SessionSearch::matches(const VoiceSession& session, const QString& needle) {
  if (needle.isEmpty()) return false;
  const Folded& texts = foldedTexts(session);
  if (texts.title.contains(needle)) return true;
  for (const QString& sentence : texts.sentences) {
    if (sentence.contains(needle)) return true;
  }
  return false;
}

void SessionSearch::forget(const QUuid& id) { folded_.remove(id); }

const SessionSearch::Folded& SessionSearch::foldedTexts(const VoiceSession& session) {
  auto found = folded_.find(session.id);
  if (found != folded_.end()) return *found;
  Folded texts;
  texts.title = folded(session.title);
  texts.sentences.reserve(static_cast<qsizetype>(session.segments.size()));
  for (const LiveSegment& segment : session.segments) texts.sentences.append(folded(segment.text));
  return *folded_.insert(session.id, std::move(texts));
}

}  // namespace veltovoice
