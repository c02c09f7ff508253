#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/sys/Uuid.h"
#include "speech/Diarizer/Core/DiarizationResult.h"
#include "speech/Speaker/RawEmbedding.h"
#include "speech/Speaker/Speaker.h"

// Stateless speaker operations on plain values: the cosine distance of every speaker comparison,
// the embedding quality check, assignment decisions, validated creation, the exponential embedding
// update, bounded histories, segment updates and history merges. Messages go to one logger of the
// category "SpeakerUtilities", made once on first use. Safe from any thread; dates are seconds
// since 2001-01-01 UTC.
namespace tesselaudio::SpeakerUtilities {

// When a distance and a stretch of speech allow assigning to a speaker and updating it.
struct AssignmentConfig {
  // A distance strictly below this allows assignment.
  float maxDistanceForAssignment = 0.65f;
  // A distance at or below this allows updating the speaker's embedding.
  float maxDistanceForUpdate = 0.45f;
  // Seconds of speech needed to update or create a speaker.
  float minSpeakerDuration = 4.0f;
  // Seconds a segment needs to be assigned at all, outside the very-close case.
  float minSegmentDuration = 1.0f;

  static AssignmentConfig macOS();
  static AssignmentConfig iOS();
  // Equal to macOS().
  static AssignmentConfig current();

  bool operator==(const AssignmentConfig&) const = default;
};

struct AssignmentDecision {
  bool shouldAssign = false;
  bool shouldUpdate = false;
  // 1 − distance.
  float confidence = 0;
  std::string reason;

  bool operator==(const AssignmentDecision&) const = default;
};

// What a validated creation makes a speaker from.
struct SpeakerCreationParams {
  // A missing name becomes "Speaker " and the id.
  SpeakerCreationParams(std::string id, std::optional<std::string> name, float duration,
                        std::vector<float> embedding, double createdAt, double updatedAt);

  std::string id;
  std::string name;
  float duration;
  std::vector<float> embedding;
  double createdAt;
  double updatedAt;

  bool operator==(const SpeakerCreationParams&) const = default;
};

// success with the parameters, or failure with a reason.
struct SpeakerCreationResult {
  std::variant<SpeakerCreationParams, std::string> value;

  static SpeakerCreationResult success(SpeakerCreationParams params) { return {std::move(params)}; }
  static SpeakerCreationResult failure(std::string reason) { return {std::move(reason)}; }

  bool isSuccess() const { return value.index() == 0; }
  // REQUIRES: isSuccess().
  const SpeakerCreationParams& params() const { return std::get<0>(value); }
  // REQUIRES: !isSuccess().
  const std::string& reason() const { return std::get<1>(value); }
};

struct SpeakerUpdateResult {
  // None when the exponential update was refused.
  std::optional<std::vector<float>> updatedMainEmbedding;
  std::vector<RawEmbedding> updatedRawEmbeddings;
  float updatedDuration = 0;
  bool shouldRecalculate = false;
};

struct ClosestSpeaker {
  std::optional<Speaker> speaker;
  float distance;
};

struct HistoryAppend {
  std::vector<RawEmbedding> updated;
  bool shouldRecalculate;
};

struct HistoryRemoval {
  std::vector<RawEmbedding> updated;
  std::optional<RawEmbedding> removed;
  bool shouldRecalculate;
};

struct HistoryMerge {
  std::vector<RawEmbedding> mergedRaw;
  float mergedDuration;
  std::optional<std::vector<float>> newMainEmbedding;
};

// 1 − cosine similarity, from 0 (same direction) to 2; +infinity with an error line for empty or
// unequal lengths, and with a warning for a side of zero magnitude; NaN for a NaN similarity.
// Vectors already of unit length skip the square roots.
float cosineDistance(std::span<const float> a, std::span<const float> b);

// True for a non-empty embedding whose magnitude is strictly above `minMagnitude` and whose values
// are all finite; each refusal logs its reason.
bool validateEmbedding(std::span<const float> embedding, float minMagnitude);

// Whether `distance` and `duration` allow assigning to a speaker and updating it.
AssignmentDecision shouldAssignSpeaker(float distance, float duration, const AssignmentConfig& config);

// The candidate whose main embedding is closest (the earlier one on ties); none and +infinity
// when no distance is finite.
ClosestSpeaker findClosestSpeaker(std::span<const float> embedding,
                                  const std::vector<Speaker>& candidates);

// Checks the duration against config.minSpeakerDuration and the embedding's quality (magnitude
// above 0.1); on success the parameters carry the embedding normalised and both dates now.
SpeakerCreationResult validateSpeakerCreation(const std::string& id,
                                              const std::optional<std::string>& name, float duration,
                                              std::span<const float> embedding,
                                              const AssignmentConfig& config);

// A new, not permanent speaker when the creation check passes; none with an error line otherwise.
std::optional<Speaker> createSpeaker(const std::string& id, const std::optional<std::string>& name,
                                     float duration, std::span<const float> embedding,
                                     const AssignmentConfig& config);

// normalise(alpha × normalise(current) + (1 − alpha) × normalise(new)); none with an error line
// when current is empty, the lengths differ or `newEmbedding` fails the quality check.
std::optional<std::vector<float>> updateEmbedding(std::span<const float> current,
                                                  std::span<const float> newEmbedding, float alpha);

// The history with the normalised embedding appended; a history of maxCapacity or more first
// drops its oldest entry. shouldRecalculate: the result holds three or more entries. None with a
// warning when the embedding fails the quality check. A capacity below 1 counts as 1.
std::optional<HistoryAppend> addRawEmbedding(std::vector<RawEmbedding> history,
                                             platform::Uuid segmentId,
                                             std::span<const float> embedding, double timestamp,
                                             std::size_t maxCapacity);

// The history without the first entry of that segment; shouldRecalculate when one was removed and
// entries remain.
HistoryRemoval removeRawEmbedding(std::vector<RawEmbedding> history, platform::Uuid segmentId);

// A segment folded into a speaker's state: none when the segment is shorter than
// minSegmentDuration or its embedding fails the quality check. The history (at most 50, the
// oldest dropped) gains the normalised embedding with the current time; the main embedding is
// updateEmbedding's (none when that refuses); shouldRecalculate when the history has three or
// more entries.
std::optional<SpeakerUpdateResult> updateSpeakerWithSegment(
    std::span<const float> currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
    float currentDuration, std::span<const float> segmentEmbedding, float segmentDuration,
    platform::Uuid segmentId, float alpha, float minSegmentDuration);

// Two histories joined; beyond maxCapacity entries the maxCapacity newest, newest first (stable
// on equal timestamps). Durations added; the main embedding is the average of the result.
HistoryMerge mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw, float speaker1Duration,
                           const std::vector<RawEmbedding>& speaker2Raw, float speaker2Duration,
                           std::size_t maxCapacity);

// The normalised mean of the embeddings that have the first one's length; none for no embeddings
// or an empty first one.
std::optional<std::vector<float>> averageEmbeddings(const std::vector<std::vector<float>>& embeddings);
// The same over a history's embeddings.
std::optional<std::vector<float>> averageEmbeddings(const std::vector<RawEmbedding>& history);

// A stretch of time in seconds, (start, end); empty when start >= end (or either is NaN).
using Interval = std::pair<double, double>;

// The union of `intervals`: the non-empty ones sorted by start, overlapping or touching ones
// joined.
std::vector<Interval> merged(std::vector<Interval> intervals);

// The parts of each interval of `a` that no interval of `b` covers, in order.
// REQUIRES: `b` sorted and non-overlapping (as merged() gives it).
std::vector<Interval> subtract(const std::vector<Interval>& a, const std::vector<Interval>& b);

// Per list, the time its intervals cover, time covered by several lists at once split equally
// among them; 0 for an empty list.
std::vector<float> sharedWeights(const std::vector<std::vector<Interval>>& lists);

// One robust embedding per speaker of a finished diarization, from its chunk embeddings (present
// when the diarizer exposed them) and its segments, for enrolling known speakers:
//   - a speaker's clean speech is the time it speaks while no other speaker does;
//   - a chunk counts for its speaker when its embedding is finite, passes the quality check and
//     its chunk holds at least minChunkCleanSpeech seconds of the speaker's clean speech;
//   - chunks farther than maxDistanceToMedoid from the medoid of the speaker's chunks are dropped
//     (two chunks: both must be that close);
//   - the speaker is left out unless minChunks chunks remain, holding at least
//     minTotalCleanSpeech seconds and a minConsensus share of the clean speech of all its valid
//     chunks (time covered by several chunks is shared equally among them);
//   - its embedding is the average of the remaining normalised chunk embeddings weighted by their
//     clean speech, normalised.
// Returns the embeddings by speaker id; empty, with a warning, without chunk embeddings. A
// speaker whose chunk embeddings differ in length is left out with a warning, and one whose
// remaining chunks hold no clean speech at all is left out whatever the thresholds.
std::map<std::string, std::vector<float>> cleanEmbeddingsBySpeaker(const DiarizationResult& result,
                                                                   double minChunkCleanSpeech,
                                                                   double minTotalCleanSpeech,
                                                                   float maxDistanceToMedoid,
                                                                   double minConsensus, std::int64_t minChunks);

}  // namespace tesselaudio::SpeakerUtilities
