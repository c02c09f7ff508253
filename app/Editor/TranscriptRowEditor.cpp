#include "app/Editor/TranscriptRowEditor.h"

#include "app/Editor/SegmentRowHost.h"
#include "app/Editor/TopicHeader.h"
#include "app/Editor/TranscriptRowDelegate.h"

namespace veltovoice {

TranscriptRowEditor::TranscriptRowEditor(QWidget* parent) : QWidget(parent), host_(new SegmentRowHost(this)) {
  setObjectName(QStringLiteral("transcriptRowEditor"));
}

void TranscriptRowEditor::editTopic(LiveModel& live, const QUuid& sessionID, const QUuid& topicID) {
  if (!header_) {
    header_ = new TopicHeader(live, sessionID, topicID, this);
    place(geometry(), withHeading_);
    header_->show();
  }
  header_->openEditor();
}

void TranscriptRowEditor::place(const QRect& rect, bool withHeading) {
  withHeading_ = withHeading;
  setGeometry(rect);
  const QRect local(QPoint(0, 0), rect.size());
  const QRect sentence = TranscriptRowDelegate::sentenceRect(local, withHeading);
  if (header_) header_->setGeometry(TranscriptRowDelegate::headingRect(local));
  host_->setGeometry(sentence.left(), sentence.top(), sentence.width(), host_->heightForWidth(sentence.width()));
}

}  // namespace veltovoice
