#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QAbstractListModel>
#include <QString>
#include <QUuid>

#include "app/Model/LiveSegment.h"

namespace veltovoice {

class LiveModel;
struct VoiceSession;

// The rows of one conversation's transcript as a list model: one row per sentence (with the topic
// heading that starts there, if any), then the live line while the conversation is being recorded
// and the recogniser has not yet final text, else, without sentences, the empty text.
//
// It follows the conversation model by comparing sentence ids: appends, single removals, joins,
// insertions and text changes become the smallest row insertions, removals and changes, so that an
// open editor keeps its row while live sentences arrive. The model is reset only when the shown
// conversation changes. GUI thread only.
class TranscriptRowsModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum class Kind { sentence, liveLine, emptyText };

  enum Role {
    KindRole = Qt::UserRole + 1,  // Kind as int
    SegmentIDRole,                // QUuid of a sentence row
    TopicTitleRole,               // QString; absent without a heading
    SpeakerChangedRole,           // bool
  };

  // The heading of a minutes topic that starts at a sentence.
  struct Heading {
    QUuid topicID;
    QString title;
    bool operator==(const Heading&) const = default;
  };

  // `live` is borrowed and must outlive the model. Shows no conversation until setSessionID().
  explicit TranscriptRowsModel(LiveModel& live, QObject* parent = nullptr);

  // Shows conversation `id` (nothing with none or an unknown id); another id resets the model.
  void setSessionID(const std::optional<QUuid>& id);
  const std::optional<QUuid>& sessionID() const { return sessionID_; }

  // Whether the shown conversation is the one being recorded.
  bool isLive() const { return isLive_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // The sentence rows come first, one per sentence of the conversation.
  int sentenceCount() const { return static_cast<int>(rows_.size()); }
  Kind kind(int row) const;
  // REQUIRES: 0 <= row < sentenceCount().
  const LiveSegment& segment(int row) const { return rows_[static_cast<std::size_t>(row)].segment; }
  const std::optional<Heading>& heading(int row) const { return rows_[static_cast<std::size_t>(row)].heading; }
  // Whether the sentence's speaker differs from the previous sentence's, "no speaker" counting as
  // a speaker of its own; never for the first row.
  bool speakerChanged(int row) const { return rows_[static_cast<std::size_t>(row)].speakerChanged; }
  // The row of the first sentence with `segmentID`, or nothing.
  std::optional<int> rowOf(const QUuid& segmentID) const;
  // The sentence ids in list order.
  std::vector<QUuid> segmentIDs() const;

  // The text of the live line and of the empty text.
  QString liveText() const { return QString::fromStdString(liveText_); }
  QString emptyText() const;

  // Height a view keeps for a row at `width`, or nothing when it has none for that width. Kept with
  // the row and forgotten whenever the row changes.
  std::optional<int> cachedHeight(int row, int width) const;
  void setCachedHeight(int row, int width, int height) const;
  // The same for an estimated height.
  std::optional<int> cachedEstimate(int row, int width) const;
  void setCachedEstimate(int row, int width, int height) const;

 private:
  struct Row {
    LiveSegment segment;
    std::optional<Heading> heading;
    bool speakerChanged = false;
    mutable int heightWidth = -1;
    mutable int height = 0;
    mutable int estimateWidth = -1;
    mutable int estimate = 0;
  };

  void sessionChanged(const QUuid& id);
  void sessionRemoved(const QUuid& id);
  void liveChanged();
  // Brings the sentence rows in line with `session`, in the fewest row signals.
  void follow(const VoiceSession& session);
  void replaceMiddle(int first, int oldCount, const std::vector<LiveSegment>& segments, int newFirst,
                     int newCount);
  void insertSentences(int row, const std::vector<LiveSegment>& segments, int from, int count);
  void removeSentences(int row, int count);
  void refreshRows(const VoiceSession& session, bool everyRow);
  void followTrailing();
  std::optional<Kind> wantedTrailing() const;

  LiveModel& live_;
  std::optional<QUuid> sessionID_;
  std::vector<Row> rows_;
  std::map<int, std::string> speakerNames_;
  std::vector<std::pair<QUuid, Heading>> headings_;  // topic start and heading, in topic order
  bool isLive_ = false;
  std::string liveText_;
  std::optional<Kind> trailing_;  // the row after the sentences, if any
  mutable int trailingWidth_ = -1;
  mutable int trailingHeight_ = 0;
};

}  // namespace veltovoice
