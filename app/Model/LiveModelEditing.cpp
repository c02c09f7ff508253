#include "app/Model/LiveModel.h"

#include <algorithm>
#include <limits>
#include <iterator>
#include <utility>

#include <QHash>
#include <QSet>
#include <QString>

namespace veltovoice {

namespace {

bool contains(const std::set<QUuid>& ids, const QUuid& id) { return ids.find(id) != ids.end(); }

}  // namespace

// ---- Locating and topic repair ------------------------------------------------------------------

std::optional<LiveModel::SegmentLocation> LiveModel::locate(const QUuid& segmentID) const {
  for (std::size_t s = 0; s < sessions_.size(); ++s) {
    const auto& segments = sessions_[s].segments;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      if (segments[i].id == segmentID) return SegmentLocation{s, i};
    }
  }
  return std::nullopt;
}

void LiveModel::repairTopics(VoiceSession& session, const std::set<QUuid>& removing,
                             bool preferPrevious) {
  if (!session.topics || session.topics->empty()) return;
  const std::vector<LiveSegment>& segments = session.segments;
  // Where each topic starts, found in one walk over the sentences (the first of duplicate ids).
  constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();
  QHash<QUuid, std::size_t> startIndex;
  for (const TopicTag& topic : *session.topics) startIndex.insert(topic.startSegmentID, kNowhere);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto it = startIndex.find(segments[i].id);
    if (it != startIndex.end() && *it == kNowhere) *it = i;
  }

  std::vector<bool> startsAtSentence;
  startsAtSentence.reserve(session.topics->size());
  for (TopicTag& topic : *session.topics) {
    const std::size_t j = startIndex.value(topic.startSegmentID);
    if (j == kNowhere || !contains(removing, topic.startSegmentID)) {
      startsAtSentence.push_back(j != kNowhere);
      continue;
    }
    std::optional<QUuid> next;
    for (std::size_t k = j + 1; k < segments.size() && !next; ++k) {
      if (!contains(removing, segments[k].id)) next = segments[k].id;
    }
    std::optional<QUuid> previous;
    for (std::size_t k = j; k-- > 0 && !previous;) {
      if (!contains(removing, segments[k].id)) previous = segments[k].id;
    }
    const std::optional<QUuid> chosen = preferPrevious ? (previous ? previous : next)
                                                       : (next ? next : previous);
    // With every sentence going, a fresh id names none, and the topic is dropped below.
    topic.startSegmentID = chosen ? *chosen : QUuid::createUuid();
    startsAtSentence.push_back(chosen.has_value());
  }

  std::vector<TopicTag> kept;
  QSet<QUuid> starts;
  for (std::size_t t = 0; t < session.topics->size(); ++t) {
    TopicTag& topic = (*session.topics)[t];
    if (!startsAtSentence[t] || starts.contains(topic.startSegmentID)) continue;
    starts.insert(topic.startSegmentID);
    kept.push_back(std::move(topic));
  }
  session.topics = std::move(kept);
}

// ---- Sentences ----------------------------------------------------------------------------------

void LiveModel::updateText(const QUuid& segmentID, const std::string& text) {
  const std::optional<SegmentLocation> at = locate(segmentID);
  if (!at || sessions_[at->session].segments[at->segment].text == text) return;
  const QUuid sessionID = sessions_[at->session].id;
  editSession(sessionID, [&](VoiceSession& session) {
    LiveSegment& segment = session.segments[at->segment];
    segment.text = text;
    segment.edited = true;
  });
  scheduleSave(sessionID);
}

void LiveModel::setSpeaker(const QUuid& segmentID, std::optional<int> speaker) {
  const std::optional<SegmentLocation> at = locate(segmentID);
  if (!at) return;
  const QUuid sessionID = sessions_[at->session].id;
  editSession(sessionID, [&](VoiceSession& session) {
    LiveSegment& segment = session.segments[at->segment];
    segment.speaker = speaker;
    segment.speakerLocked = true;
  });
  scheduleSave(sessionID);
}

void LiveModel::renameSpeaker(const QUuid& sessionID, int slot, const std::string& name) {
  if (!editSession(sessionID, [&](VoiceSession& session) { session.speakerNames[slot] = name; })) {
    return;
  }
  scheduleSave(sessionID);
}

void LiveModel::deleteSegment(const QUuid& segmentID) {
  const std::optional<SegmentLocation> at = locate(segmentID);
  if (!at) return;
  const QUuid sessionID = sessions_[at->session].id;
  editSession(sessionID, [&](VoiceSession& session) {
    repairTopics(session, {segmentID}, false);
    session.segments.erase(session.segments.begin() + static_cast<std::ptrdiff_t>(at->segment));
  });
  scheduleSave(sessionID);
}

std::optional<LiveModel::Caret> LiveModel::mergeWithPrevious(const QUuid& segmentID) {
  const std::optional<SegmentLocation> at = locate(segmentID);
  if (!at || at->segment == 0) return std::nullopt;
  const QUuid sessionID = sessions_[at->session].id;
  Caret caret;
  editSession(sessionID, [&](VoiceSession& session) {
    repairTopics(session, {segmentID}, true);
    auto& segments = session.segments;
    LiveSegment removed = std::move(segments[at->segment]);
    segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(at->segment));
    LiveSegment& previous = segments[at->segment - 1];
    caret = {previous.id, static_cast<int>(QString::fromStdString(previous.text).size())};
    previous.text += removed.text;
    if (removed.end) previous.end = removed.end;
    previous.edited = true;
  });
  scheduleSave(sessionID);
  return caret;
}

void LiveModel::deleteSegments(const QUuid& sessionID, const std::set<QUuid>& segmentIDs) {
  if (segmentIDs.empty()) return;
  const VoiceSession* found = session(sessionID);
  if (!found) return;
  SegmentDeletion deletion{sessionID, {}};
  for (std::size_t i = 0; i < found->segments.size(); ++i) {
    if (contains(segmentIDs, found->segments[i].id)) {
      deletion.removed.emplace_back(static_cast<int>(i), found->segments[i]);
    }
  }
  if (deletion.removed.empty()) return;
  editSession(sessionID, [&](VoiceSession& session) {
    repairTopics(session, segmentIDs, false);
    // The collected indices are ascending: keep everything between them, in one pass.
    auto& segments = session.segments;
    std::size_t write = 0;
    auto removed = deletion.removed.begin();
    for (std::size_t read = 0; read < segments.size(); ++read) {
      if (removed != deletion.removed.end() && static_cast<std::size_t>(removed->first) == read) {
        ++removed;
        continue;
      }
      if (write != read) segments[write] = std::move(segments[read]);
      ++write;
    }
    segments.resize(write);
  });
  lastSegmentDeletion_ = std::move(deletion);
  emit lastSegmentDeletionChanged();
  scheduleSave(sessionID);
}

void LiveModel::undoSegmentDeletion() {
  if (!lastSegmentDeletion_) return;
  SegmentDeletion deletion = std::move(*lastSegmentDeletion_);
  lastSegmentDeletion_.reset();
  std::stable_sort(deletion.removed.begin(), deletion.removed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const bool restored = editSession(deletion.sessionID, [&](VoiceSession& session) {
    // One merge, the same as inserting each sentence in ascending order at its old index clamped
    // to the length so far: an untouched list comes back exactly.
    std::vector<LiveSegment> merged;
    merged.reserve(session.segments.size() + deletion.removed.size());
    auto kept = std::make_move_iterator(session.segments.begin());
    const auto keptEnd = std::make_move_iterator(session.segments.end());
    for (auto& [index, segment] : deletion.removed) {
      while (kept != keptEnd && merged.size() < static_cast<std::size_t>(std::max(index, 0))) {
        merged.push_back(*kept++);
      }
      merged.push_back(std::move(segment));
    }
    merged.insert(merged.end(), kept, keptEnd);
    session.segments = std::move(merged);
  });
  if (restored) scheduleSave(deletion.sessionID);
  emit lastSegmentDeletionChanged();
}

std::vector<int> LiveModel::knownSpeakers(const VoiceSession& session) {
  std::set<int> used;
  for (const LiveSegment& segment : session.segments) {
    if (segment.speaker) used.insert(*segment.speaker);
  }
  for (const auto& [slot, name] : session.speakerNames) used.insert(slot);
  return {used.begin(), used.end()};
}

// ---- Topics and the memo --------------------------------------------------------------------------

QUuid LiveModel::addTopic(const QUuid& sessionID, const QUuid& segmentID) {
  TopicTag topic;
  topic.title = "新しい話題";
  topic.startSegmentID = segmentID;
  const QUuid topicID = topic.id;
  const bool found = editSession(sessionID, [&](VoiceSession& session) {
    std::vector<TopicTag> topics = session.topics.value_or(std::vector<TopicTag>{});
    std::erase_if(topics, [&](const TopicTag& t) { return t.startSegmentID == segmentID; });
    topics.push_back(std::move(topic));
    QHash<QUuid, std::size_t> indexOf;
    indexOf.reserve(static_cast<qsizetype>(session.segments.size()));
    for (std::size_t i = session.segments.size(); i-- > 0;) indexOf.insert(session.segments[i].id, i);
    const auto position = [&](const TopicTag& t) {
      return indexOf.value(t.startSegmentID, std::numeric_limits<std::size_t>::max());
    };
    std::stable_sort(topics.begin(), topics.end(),
                     [&](const TopicTag& a, const TopicTag& b) { return position(a) < position(b); });
    session.topics = std::move(topics);
  });
  if (found) scheduleSave(sessionID);
  return topicID;
}

void LiveModel::renameTopic(const QUuid& sessionID, const QUuid& topicID, const std::string& title) {
  const bool found = editSession(sessionID, [&](VoiceSession& session) {
    if (!session.topics) return;
    const auto it = std::find_if(session.topics->begin(), session.topics->end(),
                                 [&](const TopicTag& t) { return t.id == topicID; });
    if (it != session.topics->end()) it->title = title;
  });
  if (found) scheduleSave(sessionID);
}

void LiveModel::deleteTopic(const QUuid& sessionID, const QUuid& topicID) {
  const bool found = editSession(sessionID, [&](VoiceSession& session) {
    if (session.topics) std::erase_if(*session.topics, [&](const TopicTag& t) { return t.id == topicID; });
  });
  if (found) scheduleSave(sessionID);
}

void LiveModel::updateMemo(const QUuid& sessionID, const std::string& memo) {
  if (editSession(sessionID, [&](VoiceSession& session) { session.memo = memo; })) {
    scheduleSave(sessionID);
  }
}

}  // namespace veltovoice
