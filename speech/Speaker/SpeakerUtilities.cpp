#include "speech/Speaker/SpeakerUtilities.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/dsp/VectorOps.h"
#include "platform/text/DoubleText.h"
#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Speaker/SpeakerClock.h"

namespace tesselaudio::SpeakerUtilities {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kVeryHighConfidenceDistance = 0.2f;
constexpr float kQualityMagnitude = 0.1f;
constexpr float kUnitNormTolerance = 0.001f;
constexpr std::size_t kSegmentHistoryCapacity = 50;

const AppLogger& logger() {
  static const AppLogger instance("SpeakerUtilities");
  return instance;
}

std::string text(float value) { return platform::text::shortestFloat(value); }

void warnInvalidSegment(platform::Uuid segmentId) {
  logger().warning("Invalid embedding for segment " + segmentId.toString());
}

}  // namespace

AssignmentConfig AssignmentConfig::macOS() { return {0.65f, 0.45f, 4.0f, 1.0f}; }

AssignmentConfig AssignmentConfig::iOS() { return {0.55f, 0.45f, 4.0f, 1.0f}; }

AssignmentConfig AssignmentConfig::current() { return macOS(); }

SpeakerCreationParams::SpeakerCreationParams(std::string id, std::optional<std::string> name,
                                             float duration, std::vector<float> embedding,
                                             double createdAt, double updatedAt)
    : id(std::move(id)),
      name(name ? std::move(*name) : "Speaker " + this->id),
      duration(duration),
      embedding(std::move(embedding)),
      createdAt(createdAt),
      updatedAt(updatedAt) {}

float cosineDistance(std::span<const float> a, std::span<const float> b) {
  if (a.empty() || a.size() != b.size()) {
    logger().error("Invalid embeddings: a.count=" + std::to_string(a.size()) +
                   ", b.count=" + std::to_string(b.size()));
    return kInfinity;
  }
  const float dot = platform::dsp::dot(a, b);
  const float squaresA = platform::dsp::dot(a, a);
  const float squaresB = platform::dsp::dot(b, b);
  if (!(squaresA > 0) || !(squaresB > 0)) {
    logger().warning("Zero magnitude embedding detected");
    return kInfinity;
  }
  const bool unitLength = std::fabs(squaresA - 1) <= kUnitNormTolerance &&
                          std::fabs(squaresB - 1) <= kUnitNormTolerance;
  const float similarity = unitLength ? dot : dot / (std::sqrt(squaresA) * std::sqrt(squaresB));
  if (similarity <= -1) return 2;
  // A NaN similarity passes through min and gives NaN.
  return 1 - std::min(similarity, 1.0f);
}

bool validateEmbedding(std::span<const float> embedding, float minMagnitude) {
  if (embedding.empty()) {
    logger().error("Empty embedding");
    return false;
  }
  const float magnitude = std::sqrt(platform::dsp::dot(embedding, embedding));
  if (!(magnitude > minMagnitude)) {
    logger().warning("Low magnitude embedding: " + text(magnitude));
    return false;
  }
  if (!std::all_of(embedding.begin(), embedding.end(), [](float v) { return std::isfinite(v); })) {
    logger().error("Embedding contains NaN or Inf");
    return false;
  }
  return true;
}

AssignmentDecision shouldAssignSpeaker(float distance, float duration, const AssignmentConfig& config) {
  const float confidence = 1 - distance;
  if (distance < kVeryHighConfidenceDistance) {
    return {true, duration >= config.minSpeakerDuration, confidence, "Very high confidence match"};
  }
  const bool closeEnough = distance < config.maxDistanceForAssignment;
  if (closeEnough && duration >= config.minSegmentDuration) {
    const bool update =
        duration >= config.minSpeakerDuration && distance <= config.maxDistanceForUpdate;
    return {true, update, confidence, "Sufficient confidence and duration"};
  }
  return {false, false, confidence, closeEnough ? "Duration too short" : "Distance too far"};
}

ClosestSpeaker findClosestSpeaker(std::span<const float> embedding,
                                  const std::vector<Speaker>& candidates) {
  const Speaker* best = nullptr;
  float bestDistance = kInfinity;
  for (const Speaker& candidate : candidates) {
    const float distance = cosineDistance(embedding, candidate.currentEmbedding);
    if (distance < bestDistance) {
      best = &candidate;
      bestDistance = distance;
    }
  }
  if (!best) return {std::nullopt, kInfinity};
  return {*best, bestDistance};
}

SpeakerCreationResult validateSpeakerCreation(const std::string& id,
                                              const std::optional<std::string>& name, float duration,
                                              std::span<const float> embedding,
                                              const AssignmentConfig& config) {
  if (!(config.minSpeakerDuration <= duration)) {
    return SpeakerCreationResult::failure("Duration " + text(duration) + " < minimum " +
                                          text(config.minSpeakerDuration));
  }
  if (!validateEmbedding(embedding, kQualityMagnitude)) {
    return SpeakerCreationResult::failure("Invalid embedding: failed quality checks");
  }
  const double now = SpeakerClock::now();
  return SpeakerCreationResult::success(
      SpeakerCreationParams(id, name, duration, VDSPOperations::l2Normalize(embedding), now, now));
}

std::optional<Speaker> createSpeaker(const std::string& id, const std::optional<std::string>& name,
                                     float duration, std::span<const float> embedding,
                                     const AssignmentConfig& config) {
  const SpeakerCreationResult result = validateSpeakerCreation(id, name, duration, embedding, config);
  if (!result.isSuccess()) {
    logger().error("Failed to create speaker: " + result.reason());
    return std::nullopt;
  }
  const SpeakerCreationParams& p = result.params();
  return Speaker(p.id, p.name, p.embedding, p.duration, p.createdAt, p.updatedAt, false);
}

std::optional<std::vector<float>> updateEmbedding(std::span<const float> current,
                                                  std::span<const float> newEmbedding, float alpha) {
  if (current.empty() || current.size() != newEmbedding.size() ||
      !validateEmbedding(newEmbedding, kQualityMagnitude)) {
    logger().error("Invalid embeddings for update");
    return std::nullopt;
  }
  const std::vector<float> c = VDSPOperations::l2Normalize(current);
  const std::vector<float> n = VDSPOperations::l2Normalize(newEmbedding);
  std::vector<float> blended(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) blended[i] = alpha * c[i] + (1 - alpha) * n[i];
  return VDSPOperations::l2Normalize(blended);
}

std::optional<HistoryAppend> addRawEmbedding(std::vector<RawEmbedding> history,
                                             platform::Uuid segmentId,
                                             std::span<const float> embedding, double timestamp,
                                             std::size_t maxCapacity) {
  if (!validateEmbedding(embedding, kQualityMagnitude)) {
    warnInvalidSegment(segmentId);
    return std::nullopt;
  }
  appendToHistory(history, RawEmbedding(segmentId, embedding, timestamp), maxCapacity);
  const bool shouldRecalculate = history.size() >= 3;
  return HistoryAppend{std::move(history), shouldRecalculate};
}

HistoryRemoval removeRawEmbedding(std::vector<RawEmbedding> history, platform::Uuid segmentId) {
  const auto it = std::find_if(history.begin(), history.end(),
                               [&](const RawEmbedding& e) { return e.segmentId == segmentId; });
  if (it == history.end()) return {std::move(history), std::nullopt, false};
  RawEmbedding removed = *it;
  history.erase(it);
  const bool remaining = !history.empty();
  return {std::move(history), std::move(removed), remaining};
}

std::optional<SpeakerUpdateResult> updateSpeakerWithSegment(
    std::span<const float> currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
    float currentDuration, std::span<const float> segmentEmbedding, float segmentDuration,
    platform::Uuid segmentId, float alpha, float minSegmentDuration) {
  if (!(segmentDuration >= minSegmentDuration)) return std::nullopt;
  if (!validateEmbedding(segmentEmbedding, kQualityMagnitude)) return std::nullopt;
  const std::vector<float> normalized = VDSPOperations::l2Normalize(segmentEmbedding);
  if (!validateEmbedding(normalized, kQualityMagnitude)) {
    warnInvalidSegment(segmentId);
    return std::nullopt;
  }
  SpeakerUpdateResult result;
  result.updatedRawEmbeddings = currentRawEmbeddings;
  appendToHistory(result.updatedRawEmbeddings, RawEmbedding(segmentId, normalized, SpeakerClock::now()),
                  kSegmentHistoryCapacity);
  result.updatedMainEmbedding = updateEmbedding(currentMainEmbedding, normalized, alpha);
  result.updatedDuration = currentDuration + segmentDuration;
  result.shouldRecalculate = result.updatedRawEmbeddings.size() > 2;
  return result;
}

HistoryMerge mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw, float speaker1Duration,
                           const std::vector<RawEmbedding>& speaker2Raw, float speaker2Duration,
                           std::size_t maxCapacity) {
  std::vector<RawEmbedding> merged = speaker1Raw;
  merged.insert(merged.end(), speaker2Raw.begin(), speaker2Raw.end());
  if (merged.size() > maxCapacity) {
    std::stable_sort(merged.begin(), merged.end(), [](const RawEmbedding& a, const RawEmbedding& b) {
      return a.timestamp > b.timestamp;
    });
    merged.erase(merged.begin() + static_cast<std::ptrdiff_t>(maxCapacity), merged.end());
  }
  auto average = averageEmbeddings(merged);
  return {std::move(merged), speaker1Duration + speaker2Duration, std::move(average)};
}

namespace {

// The normalised mean of the embeddings of the first one's length, visited by `embeddingAt`.
template <class Items, class Embedding>
std::optional<std::vector<float>> averageOf(const Items& items, Embedding embeddingAt) {
  if (items.empty()) return std::nullopt;
  const std::size_t length = embeddingAt(items.front()).size();
  if (length == 0) return std::nullopt;
  std::vector<float> sum(length, 0.0f);
  std::size_t count = 0;
  for (const auto& item : items) {
    const std::vector<float>& embedding = embeddingAt(item);
    if (embedding.size() != length) continue;
    for (std::size_t i = 0; i < length; ++i) sum[i] += embedding[i];
    ++count;
  }
  for (float& value : sum) value /= static_cast<float>(count);
  return VDSPOperations::l2Normalize(sum);
}

}  // namespace

std::optional<std::vector<float>> averageEmbeddings(const std::vector<std::vector<float>>& embeddings) {
  return averageOf(embeddings, [](const std::vector<float>& e) -> const std::vector<float>& { return e; });
}

std::optional<std::vector<float>> averageEmbeddings(const std::vector<RawEmbedding>& history) {
  return averageOf(history, [](const RawEmbedding& e) -> const std::vector<float>& { return e.embedding; });
}

namespace {

// A speaker's chunk that passed the checks: its normalised embedding and the index of its clipped
// clean intervals in the speaker's list of them.
struct CleanEntry {
  std::vector<float> embedding;
  std::size_t slot;
};

// What one speaker's chunks left: clean intervals of every valid chunk, and the entries of the
// chunks with enough clean speech.
struct SpeakerChunks {
  std::vector<std::vector<Interval>> chunkIntervals;
  std::vector<CleanEntry> entries;
};

bool isEmpty(const Interval& interval) { return !(interval.first < interval.second); }

std::map<std::string, std::vector<Interval>> segmentIntervals(const DiarizationResult& result) {
  std::map<std::string, std::vector<Interval>> bySpeaker;
  for (const auto& segment : result.segments) {
    if (!(segment.startTimeSeconds < segment.endTimeSeconds)) continue;
    bySpeaker[segment.speakerId].emplace_back(segment.startTimeSeconds, segment.endTimeSeconds);
  }
  return bySpeaker;
}

// The time each speaker of the chunk embeddings speaks while no other speaker does.
std::map<std::string, std::vector<Interval>> cleanIntervals(const DiarizationResult& result) {
  const auto segments = segmentIntervals(result);
  std::map<std::string, std::vector<Interval>> clean;
  for (const auto& chunk : *result.chunkEmbeddings) {
    if (chunk.speakerId.empty() || clean.contains(chunk.speakerId)) continue;
    std::vector<Interval> others;
    for (const auto& [id, intervals] : segments) {
      if (id != chunk.speakerId) others.insert(others.end(), intervals.begin(), intervals.end());
    }
    const auto own = segments.find(chunk.speakerId);
    clean[chunk.speakerId] =
        subtract(own == segments.end() ? std::vector<Interval>{} : merged(own->second), merged(std::move(others)));
  }
  return clean;
}

std::map<std::string, SpeakerChunks> collectChunks(const DiarizationResult& result, double minChunkCleanSpeech) {
  const auto clean = cleanIntervals(result);
  std::map<std::string, SpeakerChunks> bySpeaker;
  for (const auto& chunk : *result.chunkEmbeddings) {
    if (chunk.speakerId.empty()) continue;
    const auto& embedding = chunk.embedding256;
    if (!std::all_of(embedding.begin(), embedding.end(), [](float v) { return std::isfinite(v); })) continue;
    if (!validateEmbedding(embedding, kQualityMagnitude)) continue;

    std::vector<Interval> clipped;
    double cleanDuration = 0;
    for (const auto& [start, end] : clean.at(chunk.speakerId)) {
      const Interval inside{std::max(chunk.startTimeSeconds, start), std::min(chunk.endTimeSeconds, end)};
      if (isEmpty(inside)) continue;
      clipped.push_back(inside);
      cleanDuration += inside.second - inside.first;
    }
    // Every valid chunk shares time, whether or not it has enough clean speech for an entry.
    auto& speaker = bySpeaker[chunk.speakerId];
    speaker.chunkIntervals.push_back(std::move(clipped));
    if (minChunkCleanSpeech > cleanDuration) continue;
    speaker.entries.push_back({VDSPOperations::l2Normalize(embedding), speaker.chunkIntervals.size() - 1});
  }
  return bySpeaker;
}

// The entries close enough to the medoid, in order; none when two entries disagree.
std::vector<const CleanEntry*> keepNearMedoid(const std::vector<CleanEntry>& entries, float maxDistanceToMedoid) {
  const std::size_t n = entries.size();
  if (n == 1) return {&entries[0]};
  std::vector<std::vector<float>> distance(n, std::vector<float>(n, 0.0f));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      distance[i][j] = distance[j][i] = cosineDistance(entries[i].embedding, entries[j].embedding);
    }
  }
  if (n == 2) {
    if (distance[0][1] <= maxDistanceToMedoid) return {&entries[0], &entries[1]};
    return {};
  }
  std::size_t medoid = 0;
  float smallest = kInfinity;
  for (std::size_t i = 0; i < n; ++i) {
    float sum = 0;
    for (float d : distance[i]) sum += d;
    if (sum < smallest) {
      smallest = sum;
      medoid = i;
    }
  }
  std::vector<const CleanEntry*> kept;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == medoid || distance[medoid][i] <= maxDistanceToMedoid) kept.push_back(&entries[i]);
  }
  return kept;
}

std::vector<float> weightedSum(const std::vector<const CleanEntry*>& entries, const std::vector<float>& weights,
                               std::size_t dimension) {
  std::vector<float> sum(dimension, 0.0f);
  for (std::size_t j = 0; j < entries.size() && j < weights.size(); ++j) {
    for (std::size_t i = 0; i < dimension; ++i) sum[i] += weights[j] * entries[j]->embedding[i];
  }
  return sum;
}

// The speaker's clean embedding, or none when its chunks do not agree or hold too little speech.
std::optional<std::vector<float>> cleanEmbedding(const std::string& id, const SpeakerChunks& chunks,
                                                 double minTotalCleanSpeech, float maxDistanceToMedoid,
                                                 double minConsensus, std::int64_t minChunks) {
  const auto& entries = chunks.entries;
  const std::size_t dimension = entries.front().embedding.size();
  if (std::any_of(entries.begin(), entries.end(), [&](const CleanEntry& e) { return e.embedding.size() != dimension; })) {
    logger().warning("Mixed embedding sizes for speaker " + id + "; skipping");
    return std::nullopt;
  }
  const auto kept = keepNearMedoid(entries, maxDistanceToMedoid);
  if (kept.empty() || static_cast<std::int64_t>(kept.size()) < minChunks) return std::nullopt;

  const auto weights = sharedWeights(chunks.chunkIntervals);
  float total = 0;
  for (float w : weights) total += w;
  std::vector<float> keptWeights;
  float keptTotal = 0;
  for (const CleanEntry* entry : kept) {
    keptWeights.push_back(weights[entry->slot]);
    keptTotal += weights[entry->slot];
  }
  if (minTotalCleanSpeech > keptTotal) return std::nullopt;
  if (minConsensus * static_cast<double>(total) > keptTotal) return std::nullopt;
  // Without any clean speech the weighted sum is all zeros, which is no embedding at all.
  if (!(keptTotal > 0)) return std::nullopt;
  return VDSPOperations::l2Normalize(weightedSum(kept, keptWeights, dimension));
}

}  // namespace

std::vector<Interval> merged(std::vector<Interval> intervals) {
  std::erase_if(intervals, isEmpty);
  std::stable_sort(intervals.begin(), intervals.end(),
                   [](const Interval& a, const Interval& b) { return a.first < b.first; });
  std::vector<Interval> result;
  for (const auto& interval : intervals) {
    if (!result.empty() && interval.first <= result.back().second) {
      result.back().second = std::max(result.back().second, interval.second);
    } else {
      result.push_back(interval);
    }
  }
  return result;
}

std::vector<Interval> subtract(const std::vector<Interval>& a, const std::vector<Interval>& b) {
  std::vector<Interval> result;
  for (const auto& [start, end] : a) {
    double cursor = start;
    for (const auto& [bStart, bEnd] : b) {
      if (!(cursor < bEnd && bStart < end)) continue;
      if (cursor < bStart) result.emplace_back(cursor, bStart);
      cursor = bEnd;
    }
    if (cursor < end) result.emplace_back(cursor, end);
  }
  return result;
}

std::vector<float> sharedWeights(const std::vector<std::vector<Interval>>& lists) {
  struct Event {
    double time;
    bool isStart;
    std::size_t list;
  };
  std::vector<Event> events;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    for (const auto& [start, end] : lists[i]) {
      if (!(start < end)) continue;
      events.push_back({start, true, i});
      events.push_back({end, false, i});
    }
  }
  // At equal times ends come first, so that touching intervals never count as shared.
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    if (a.time != b.time) return a.time < b.time;
    return !a.isStart && b.isStart;
  });
  std::vector<double> weights(lists.size(), 0.0);
  std::vector<std::size_t> active;
  double previous = events.empty() ? 0 : events.front().time;
  for (const auto& event : events) {
    const double dt = event.time - previous;
    if (dt > 0 && !active.empty()) {
      for (std::size_t i : active) weights[i] += dt / static_cast<double>(active.size());
    }
    if (event.isStart) {
      active.push_back(event.list);
    } else if (const auto at = std::find(active.begin(), active.end(), event.list); at != active.end()) {
      active.erase(at);
    }
    previous = event.time;
  }
  return {weights.begin(), weights.end()};
}

std::map<std::string, std::vector<float>> cleanEmbeddingsBySpeaker(const DiarizationResult& result,
                                                                   double minChunkCleanSpeech,
                                                                   double minTotalCleanSpeech,
                                                                   float maxDistanceToMedoid,
                                                                   double minConsensus, std::int64_t minChunks) {
  if (!result.chunkEmbeddings || result.chunkEmbeddings->empty()) {
    logger().warning("cleanEmbeddingsBySpeaker needs chunk embeddings; set exposeChunkEmbeddings = true");
    return {};
  }
  std::map<std::string, std::vector<float>> embeddings;
  for (const auto& [id, chunks] : collectChunks(result, minChunkCleanSpeech)) {
    if (chunks.entries.empty()) continue;
    if (auto embedding =
            cleanEmbedding(id, chunks, minTotalCleanSpeech, maxDistanceToMedoid, minConsensus, minChunks)) {
      embeddings[id] = std::move(*embedding);
    }
  }
  return embeddings;
}

}  // namespace tesselaudio::SpeakerUtilities
