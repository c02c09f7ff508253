#include "app/Editor/TranscriptRowsModel.h"

#include <algorithm>
#include <utility>

#include <QHash>

#include "app/Model/LiveModel.h"
#include "app/Model/VoiceSession.h"

namespace veltovoice {
namespace {

std::vector<std::pair<QUuid, TranscriptRowsModel::Heading>> headingsOf(const VoiceSession& session) {
  std::vector<std::pair<QUuid, TranscriptRowsModel::Heading>> headings;
  if (!session.topics) return headings;
  headings.reserve(session.topics->size());
  for (const TopicTag& topic : *session.topics) {
    headings.emplace_back(topic.startSegmentID,
                          TranscriptRowsModel::Heading{topic.id, QString::fromStdString(topic.title)});
  }
  return headings;
}

bool speakerChangedAt(const std::vector<LiveSegment>& segments, std::size_t i) {
  return i > 0 && segments[i].speaker != segments[i - 1].speaker;
}

}  // namespace

TranscriptRowsModel::TranscriptRowsModel(LiveModel& live, QObject* parent)
    : QAbstractListModel(parent), live_(live) {
  connect(&live_, &LiveModel::sessionChanged, this, &TranscriptRowsModel::sessionChanged);
  connect(&live_, &LiveModel::sessionRemoved, this,
          [this](const QUuid& id, int) { sessionRemoved(id); });
  connect(&live_, &LiveModel::sessionInserted, this, [this](int row) {
    // A conversation that comes (back) under the shown id is shown from then on.
    if (sessionID_ && live_.sessionAt(row).id == *sessionID_) sessionChanged(*sessionID_);
  });
  connect(&live_, &LiveModel::liveIDChanged, this, &TranscriptRowsModel::liveChanged);
  connect(&live_, &LiveModel::volatileTextChanged, this, &TranscriptRowsModel::liveChanged);
}

void TranscriptRowsModel::setSessionID(const std::optional<QUuid>& id) {
  if (id == sessionID_) return;
  beginResetModel();
  sessionID_ = id;
  rows_.clear();
  speakerNames_.clear();
  headings_.clear();
  const VoiceSession* session = sessionID_ ? live_.session(*sessionID_) : nullptr;
  if (session) {
    rows_.reserve(session->segments.size());
    for (const LiveSegment& segment : session->segments) rows_.push_back(Row{segment, {}, false});
    speakerNames_ = session->speakerNames;
    headings_ = headingsOf(*session);
  }
  isLive_ = sessionID_ && live_.liveID() == sessionID_;
  liveText_ = isLive_ ? live_.volatileText() : std::string();
  if (session) {
    QHash<QUuid, Heading> starts;
    for (const auto& [start, heading] : headings_) {
      if (!starts.contains(start)) starts.insert(start, heading);
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      rows_[i].speakerChanged = speakerChangedAt(session->segments, i);
      if (const auto found = starts.constFind(rows_[i].segment.id); found != starts.cend()) {
        rows_[i].heading = *found;
      }
    }
  }
  trailing_ = wantedTrailing();
  trailingWidth_ = -1;
  endResetModel();
}

int TranscriptRowsModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return sentenceCount() + (trailing_ ? 1 : 0);
}

TranscriptRowsModel::Kind TranscriptRowsModel::kind(int row) const {
  if (row < sentenceCount()) return Kind::sentence;
  return trailing_.value_or(Kind::emptyText);
}

QVariant TranscriptRowsModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return QVariant();
  }
  const int row = index.row();
  const Kind rowKind = kind(row);
  switch (role) {
    case Qt::DisplayRole:
      if (rowKind == Kind::sentence) return QString::fromStdString(segment(row).text);
      return rowKind == Kind::liveLine ? liveText() : emptyText();
    case KindRole:
      return static_cast<int>(rowKind);
    case SegmentIDRole:
      return rowKind == Kind::sentence ? QVariant(segment(row).id) : QVariant();
    case TopicTitleRole:
      return rowKind == Kind::sentence && heading(row) ? QVariant(heading(row)->title) : QVariant();
    case SpeakerChangedRole:
      return rowKind == Kind::sentence && speakerChanged(row);
    default:
      return QVariant();
  }
}

std::optional<int> TranscriptRowsModel::rowOf(const QUuid& segmentID) const {
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].segment.id == segmentID) return static_cast<int>(i);
  }
  return std::nullopt;
}

std::vector<QUuid> TranscriptRowsModel::segmentIDs() const {
  std::vector<QUuid> ids;
  ids.reserve(rows_.size());
  for (const Row& row : rows_) ids.push_back(row.segment.id);
  return ids;
}

QString TranscriptRowsModel::emptyText() const {
  return isLive_ ? QStringLiteral("話し始めると、ここに文字が出ます。") : QStringLiteral("文字起こしはありません。");
}

std::optional<int> TranscriptRowsModel::cachedHeight(int row, int width) const {
  if (row < sentenceCount()) {
    const Row& shown = rows_[static_cast<std::size_t>(row)];
    if (shown.heightWidth == width) return shown.height;
    return std::nullopt;
  }
  if (trailingWidth_ == width) return trailingHeight_;
  return std::nullopt;
}

void TranscriptRowsModel::setCachedHeight(int row, int width, int height) const {
  if (row < sentenceCount()) {
    const Row& shown = rows_[static_cast<std::size_t>(row)];
    shown.heightWidth = width;
    shown.height = height;
  } else {
    trailingWidth_ = width;
    trailingHeight_ = height;
  }
}

std::optional<int> TranscriptRowsModel::cachedEstimate(int row, int width) const {
  if (row >= sentenceCount()) return std::nullopt;
  const Row& shown = rows_[static_cast<std::size_t>(row)];
  if (shown.estimateWidth == width) return shown.estimate;
  return std::nullopt;
}

void TranscriptRowsModel::setCachedEstimate(int row, int width, int height) const {
  if (row >= sentenceCount()) return;
  const Row& shown = rows_[static_cast<std::size_t>(row)];
  shown.estimateWidth = width;
  shown.estimate = height;
}

// ---- Following the conversation model --------------------------------------------------------------

void TranscriptRowsModel::sessionChanged(const QUuid& id) {
  if (!sessionID_ || id != *sessionID_) return;
  const VoiceSession* session = live_.session(id);
  if (!session) return;
  follow(*session);
  followTrailing();
}

void TranscriptRowsModel::sessionRemoved(const QUuid& id) {
  if (!sessionID_ || id != *sessionID_ || live_.session(id)) return;
  if (!rows_.empty()) removeSentences(0, sentenceCount());
  followTrailing();
}

void TranscriptRowsModel::liveChanged() {
  const bool isLive = sessionID_ && live_.liveID() == sessionID_;
  std::string text = isLive ? live_.volatileText() : std::string();
  if (isLive == isLive_ && text == liveText_) return;
  const bool emptyTextChanged = isLive != isLive_ && trailing_ == Kind::emptyText;
  isLive_ = isLive;
  if (text != liveText_ && trailing_ == Kind::liveLine) trailingWidth_ = -1;
  liveText_ = std::move(text);
  followTrailing();
  if (emptyTextChanged && trailing_ == Kind::emptyText) {
    trailingWidth_ = -1;
    const QModelIndex shown = index(sentenceCount());
    emit dataChanged(shown, shown);
  }
}

void TranscriptRowsModel::follow(const VoiceSession& session) {
  const std::vector<LiveSegment>& segments = session.segments;
  const int oldCount = sentenceCount();
  const int newCount = static_cast<int>(segments.size());
  int prefix = 0;
  while (prefix < oldCount && prefix < newCount &&
         rows_[static_cast<std::size_t>(prefix)].segment.id == segments[static_cast<std::size_t>(prefix)].id) {
    ++prefix;
  }
  int suffix = 0;
  while (suffix < oldCount - prefix && suffix < newCount - prefix &&
         rows_[static_cast<std::size_t>(oldCount - 1 - suffix)].segment.id ==
             segments[static_cast<std::size_t>(newCount - 1 - suffix)].id) {
    ++suffix;
  }
  const int oldMiddle = oldCount - prefix - suffix;
  const int newMiddle = newCount - prefix - suffix;
  if (oldMiddle == 0 && newMiddle > 0) {
    insertSentences(prefix, segments, prefix, newMiddle);
  } else if (newMiddle == 0 && oldMiddle > 0) {
    removeSentences(prefix, oldMiddle);
  } else if (oldMiddle > 0 && newMiddle > 0) {
    replaceMiddle(prefix, oldMiddle, segments, prefix, newMiddle);
  }
  const bool rowsMoved = oldMiddle > 0 || newMiddle > 0;
  refreshRows(session, rowsMoved);
}

void TranscriptRowsModel::replaceMiddle(int first, int oldCount, const std::vector<LiveSegment>& segments,
                                        int newFirst, int newCount) {
  // The old ids as they were: the rows change under the loops below.
  std::vector<QUuid> old;
  old.reserve(static_cast<std::size_t>(oldCount));
  for (int i = 0; i < oldCount; ++i) old.push_back(rows_[static_cast<std::size_t>(first + i)].segment.id);
  const auto oldID = [&](int i) { return old[static_cast<std::size_t>(i)]; };
  const auto newID = [&](int j) { return segments[static_cast<std::size_t>(newFirst + j)].id; };

  // Only removals: the new middle is what is left of the old one.
  {
    std::vector<bool> kept(static_cast<std::size_t>(oldCount), false);
    int j = 0;
    for (int i = 0; i < oldCount && j < newCount; ++i) {
      if (oldID(i) == newID(j)) {
        kept[static_cast<std::size_t>(i)] = true;
        ++j;
      }
    }
    if (j == newCount) {
      for (int i = oldCount; i > 0;) {
        if (kept[static_cast<std::size_t>(i - 1)]) {
          --i;
          continue;
        }
        int start = i - 1;
        while (start > 0 && !kept[static_cast<std::size_t>(start - 1)]) --start;
        removeSentences(first + start, i - start);
        i = start;
      }
      return;
    }
  }
  // Only insertions: the old middle is still there, in order, between new sentences.
  {
    int i = 0;
    for (int j = 0; j < newCount && i < oldCount; ++j) {
      if (newID(j) == oldID(i)) ++i;
    }
    if (i == oldCount) {
      int row = first;
      i = 0;
      for (int j = 0; j < newCount;) {
        if (i < oldCount && newID(j) == oldID(i)) {
          ++i;
          ++j;
          ++row;
          continue;
        }
        int end = j;
        while (end < newCount && !(i < oldCount && newID(end) == oldID(i))) ++end;
        insertSentences(row, segments, newFirst + j, end - j);
        row += end - j;
        j = end;
      }
      return;
    }
  }
  removeSentences(first, oldCount);
  insertSentences(first, segments, newFirst, newCount);
}

void TranscriptRowsModel::insertSentences(int row, const std::vector<LiveSegment>& segments, int from,
                                          int count) {
  if (count <= 0) return;
  beginInsertRows(QModelIndex(), row, row + count - 1);
  std::vector<Row> made;
  made.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) made.push_back(Row{segments[static_cast<std::size_t>(from + k)], {}, false});
  rows_.insert(rows_.begin() + row, std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
  endInsertRows();
}

void TranscriptRowsModel::removeSentences(int row, int count) {
  if (count <= 0) return;
  beginRemoveRows(QModelIndex(), row, row + count - 1);
  rows_.erase(rows_.begin() + row, rows_.begin() + row + count);
  endRemoveRows();
}

// Brings every row's content in line, signalling each run of changed rows once. Headings are
// looked up again only when the topics or the rows changed.
void TranscriptRowsModel::refreshRows(const VoiceSession& session, bool rowsMoved) {
  const std::vector<LiveSegment>& segments = session.segments;
  const bool namesChanged = session.speakerNames != speakerNames_;
  if (namesChanged) speakerNames_ = session.speakerNames;
  std::vector<std::pair<QUuid, Heading>> headings = headingsOf(session);
  const bool headingsChanged = headings != headings_;
  if (headingsChanged) headings_ = std::move(headings);
  const bool lookUpHeadings = rowsMoved || headingsChanged;
  QHash<QUuid, Heading> starts;
  if (lookUpHeadings) {
    for (const auto& [start, heading] : headings_) {
      if (!starts.contains(start)) starts.insert(start, heading);
    }
  }

  int runStart = -1;
  const auto flush = [&](int end) {
    if (runStart < 0) return;
    emit dataChanged(index(runStart), index(end - 1));
    runStart = -1;
  };
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    Row& row = rows_[i];
    const LiveSegment& segment = segments[i];
    const bool speakerChanged = speakerChangedAt(segments, i);
    std::optional<Heading> heading = row.heading;
    if (lookUpHeadings) {
      const auto found = starts.constFind(segment.id);
      heading = found == starts.cend() ? std::nullopt : std::optional<Heading>(*found);
    }
    const bool changed = !(row.segment == segment) || row.speakerChanged != speakerChanged || row.heading != heading;
    if (changed) {
      row.segment = segment;
      row.speakerChanged = speakerChanged;
      row.heading = std::move(heading);
      row.heightWidth = -1;
      row.estimateWidth = -1;
    }
    if (changed || namesChanged) {
      if (runStart < 0) runStart = static_cast<int>(i);
    } else {
      flush(static_cast<int>(i));
    }
  }
  flush(sentenceCount());
}

std::optional<TranscriptRowsModel::Kind> TranscriptRowsModel::wantedTrailing() const {
  if (!sessionID_ || !live_.session(*sessionID_)) return std::nullopt;
  if (isLive_ && !liveText_.empty()) return Kind::liveLine;
  if (rows_.empty()) return Kind::emptyText;
  return std::nullopt;
}

void TranscriptRowsModel::followTrailing() {
  const std::optional<Kind> wanted = wantedTrailing();
  const int row = sentenceCount();
  if (wanted == trailing_) {
    if (trailing_ == Kind::liveLine && trailingWidth_ < 0) emit dataChanged(index(row), index(row));
    return;
  }
  if (trailing_) {
    beginRemoveRows(QModelIndex(), row, row);
    trailing_.reset();
    endRemoveRows();
  }
  if (wanted) {
    beginInsertRows(QModelIndex(), row, row);
    trailing_ = wanted;
    trailingWidth_ = -1;
    endInsertRows();
  }
}

}  // namespace veltovoice
