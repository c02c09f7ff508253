#pragma once

#include <QRect>
#include <QUuid>
#include <QWidget>

namespace veltovoice {

class LiveModel;
class SegmentRowHost;
class TopicHeader;

// The open editor of one transcript row, laid exactly over the painted row: the sentence row's host
// (which opens the sentence editor over the painted text) and, while a topic title is being edited,
// the topic header over the painted heading. GUI thread only.
class TranscriptRowEditor : public QWidget {
 public:
  explicit TranscriptRowEditor(QWidget* parent = nullptr);

  SegmentRowHost* host() const { return host_; }
  // The topic header while its title is edited, else null.
  TopicHeader* header() const { return header_; }

  // Shows the header of topic `topicID` over the heading and opens its title field.
  void editTopic(LiveModel& live, const QUuid& sessionID, const QUuid& topicID);

  // Places the parts in `rect` (the row without the gap below it): the heading on top when
  // `withHeading`, the sentence below it.
  void place(const QRect& rect, bool withHeading);

 private:
  SegmentRowHost* host_;
  TopicHeader* header_ = nullptr;
  bool withHeading_ = false;
};

}  // namespace veltovoice
