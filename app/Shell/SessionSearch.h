#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QUuid>

namespace veltovoice {

struct VoiceSession;

// The search of the conversation list: a conversation matches a query when its title, or else one
// of its sentences, contains the query, ignoring letter case and diacritics ("cafe" finds "Café").
// Both sides are folded the one way the platform folds text; the folded title and sentences of
// each conversation are kept until forget() is told the conversation changed. GUI thread only.
class SessionSearch {
 public:
  // `query` folded for matches(). The query is one needle, neither trimmed nor split.
  static QString fold(const QString& query);

  // Whether `session` contains the folded query `needle`. A needle that folded to nothing (a query
  // of combining marks alone) matches no conversation.
  bool matches(const VoiceSession& session, const QString& needle);

  // Drops the folded texts of conversation `id`; they are folded again when next needed.
  void forget(const QUuid& id);
  void clear() { folded_.clear(); }

 private:
  struct Folded {
    QString title;
    QStringList sentences;
  };
  const Folded& foldedTexts(const VoiceSession& session);

  QHash<QUuid, Folded> folded_;
};

}  // namespace veltovoice
