#include "speech/Diarizer/Clustering/SpeakerManager.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "platform/dsp/VectorOps.h"
#include "platform/sys/Uuid.h"
#include "platform/text/DoubleText.h"
#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"
#include "speech/Speaker/SpeakerClock.h"
#include "speech/Speaker/SpeakerId.h"
#include "speech/Speaker/SpeakerUtilities.h"

namespace tesselaudio {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr std::int64_t kLargestId = std::numeric_limits<std::int64_t>::max();
// Weight of the old main embedding when a close embedding refines a speaker.
constexpr float kUpdateAlpha = 0.9f;
constexpr float kMinimumSumOfSquares = 0.01f;

// The id after `id`, stopping at the largest one rather than overflowing.
std::int64_t after(std::int64_t id) { return id == kLargestId ? kLargestId : id + 1; }

}  // namespace

SpeakerManager::SpeakerManager(float speakerThreshold, float embeddingThreshold,
                               float minSpeechDuration, float minEmbeddingUpdateDuration)
    : logger_("SpeakerManager"),
      speakerThreshold_(speakerThreshold),
      embeddingThreshold_(embeddingThreshold),
      minSpeechDuration_(minSpeechDuration),
      minEmbeddingUpdateDuration_(minEmbeddingUpdateDuration) {}

std::optional<Speaker> SpeakerManager::assignSpeaker(std::span<const float> embedding,
                                                     float speechDuration, float /*confidence*/,
                                                     std::optional<float> speakerThreshold,
                                                     const std::optional<std::string>& /*newName*/) {
  if (embedding.size() != embeddingSize) {
    logger_.error("Invalid embedding size: " + std::to_string(embedding.size()));
    return std::nullopt;
  }
  const std::vector<float> normalized = VDSPOperations::l2Normalize(embedding);
  const float threshold = speakerThreshold.value_or(speakerThreshold_);
  const Lookup closest = findClosestSpeaker(normalized);
  if (closest.id && closest.distance < threshold) {
    updateExistingSpeaker(*closest.id, normalized, speechDuration, closest.distance);
    return getSpeaker(*closest.id);
  }
  if (!(speechDuration >= minSpeechDuration_)) {
    logger_.debug("Audio segment too short (" + platform::text::shortestFloat(speechDuration) +
                  "s) to create new speaker");
    return std::nullopt;
  }
  return createSpeaker(normalized, speechDuration, closest.distance);
}

SpeakerManager::Lookup SpeakerManager::findClosestSpeaker(std::span<const float> embedding) const {
  Lookup best{std::nullopt, kInfinity};
  for (const auto& [id, speaker] : speakerDatabase_) {
    const float distance = SpeakerUtilities::cosineDistance(embedding, speaker.currentEmbedding);
    if (distance < best.distance) best = {id, distance};
  }
  return best;
}

void SpeakerManager::updateExistingSpeaker(const std::string& speakerId,
                                           std::span<const float> embedding, float duration,
                                           float distance) {
  const auto it = speakerDatabase_.find(speakerId);
  if (it == speakerDatabase_.end()) {
    logger_.error("Speaker " + speakerId + " not found in database");
    return;
  }
  Speaker& speaker = it->second;
  if (distance < embeddingThreshold_) {
    if (platform::dsp::dot(embedding, embedding) > kMinimumSumOfSquares) {
      speaker.updateMainEmbedding(duration, embedding, platform::Uuid::random(), kUpdateAlpha);
    }
    return;
  }
  speaker.duration += duration;
  speaker.updatedAt = SpeakerClock::now();
}

std::optional<Speaker> SpeakerManager::createSpeaker(const std::vector<float>& embedding,
                                                     float speechDuration, float distance) {
  // Speakers kept by a reset or stored before a load may already hold the next id: never
  // overwrite one, take the next id that is free.
  std::int64_t id = nextSpeakerId_;
  while (hasSpeaker(std::to_string(id))) {
    if (id == kLargestId) {
      logger_.error("No speaker id left for a new speaker");
      return std::nullopt;
    }
    ++id;
  }
  nextSpeakerId_ = after(id);
  highestSpeakerId_ = std::max(highestSpeakerId_, id);

  const std::string idText = std::to_string(id);
  const double now = SpeakerClock::now();
  Speaker speaker(idText, "Speaker " + idText, embedding, speechDuration, now, now, false);
  speaker.addRawEmbedding(RawEmbedding(platform::Uuid::random(), embedding, SpeakerClock::now()));
  speakerDatabase_.insert_or_assign(idText, speaker);
  logger_.info("Created new speaker " + idText + " (distance to closest: " +
               platform::text::shortestFloat(distance) + ")");
  return speaker;
}

SpeakerManager::Lookup SpeakerManager::findSpeaker(std::span<const float> embedding,
                                                   std::optional<float> speakerThreshold) const {
  const float threshold = speakerThreshold.value_or(speakerThreshold_);
  const Lookup closest = findClosestSpeaker(embedding);
  if (closest.id && closest.distance <= threshold) return closest;
  return {std::nullopt, kInfinity};
}

std::vector<SpeakerManager::Match> SpeakerManager::findMatchingSpeakers(
    std::span<const float> embedding, std::optional<float> speakerThreshold) const {
  const float threshold = speakerThreshold.value_or(speakerThreshold_);
  std::vector<Match> matches;
  for (const auto& [id, speaker] : speakerDatabase_) {
    const float distance = SpeakerUtilities::cosineDistance(embedding, speaker.currentEmbedding);
    if (distance <= threshold) matches.push_back({id, distance});
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const Match& a, const Match& b) { return a.distance < b.distance; });
  return matches;
}

std::vector<std::string> SpeakerManager::findSpeakers(
    const std::function<bool(const Speaker&)>& predicate) const {
  std::vector<std::string> ids;
  for (const auto& [id, speaker] : speakerDatabase_) {
    if (predicate(speaker)) ids.push_back(id);
  }
  return ids;
}

void SpeakerManager::initializeKnownSpeakers(const std::vector<Speaker>& speakers,
                                             SpeakerInitializationMode mode,
                                             bool preserveIfPermanent) {
  if (mode == SpeakerInitializationMode::reset) reset(preserveIfPermanent);
  std::int64_t highest = 0;
  for (const Speaker& speaker : speakers) {
    if (speaker.currentEmbedding.size() != embeddingSize) {
      logger_.warning("Skipping speaker " + speaker.id + " - invalid embedding size: " +
                      std::to_string(speaker.currentEmbedding.size()));
      continue;
    }
    if (!loadKnownSpeaker(speaker, mode, preserveIfPermanent)) continue;
    if (const auto value = detail::numericSpeakerId(speaker.id)) highest = std::max(highest, *value);
    logger_.info("Initialized known speaker: " + speaker.id + " with " +
                 std::to_string(speaker.rawEmbeddings.size()) + " raw embeddings");
  }
  continueAfter(highest);
  logger_.info("Initialized with " + std::to_string(speakerDatabase_.size()) +
               " known speakers, next ID will be: " + std::to_string(nextSpeakerId_));
}

bool SpeakerManager::loadKnownSpeaker(const Speaker& speaker, SpeakerInitializationMode mode,
                                      bool preserveIfPermanent) {
  const auto it = speakerDatabase_.find(speaker.id);
  if (it == speakerDatabase_.end()) {
    speakerDatabase_.insert_or_assign(speaker.id, speaker);
    return true;
  }
  Speaker& existing = it->second;
  const bool protectedSpeaker = existing.isPermanent && preserveIfPermanent;
  switch (mode) {
    case SpeakerInitializationMode::merge:
      if (protectedSpeaker) {
        logger_.warning("Failed to merge Speaker " + speaker.id + " into Speaker " + existing.id +
                        " because the existing speaker is permanent. Skipping");
        return false;
      }
      logger_.warning("Speaker " + speaker.id + " is already initialized. Merging with old speaker.");
      existing.mergeWith(speaker, speaker.name);
      return true;
    case SpeakerInitializationMode::overwrite:
    case SpeakerInitializationMode::reset:
      if (protectedSpeaker) {
        logger_.warning("Failed to overwrite Speaker " + speaker.id +
                        " because it is permanent. Skipping");
        return false;
      }
      logger_.warning("Speaker " + speaker.id + " is already initialized. Overwriting old speaker.");
      existing = speaker;
      return true;
    case SpeakerInitializationMode::skip:
      logger_.warning("Speaker " + speaker.id + " is already initialized. Skipping new speaker.");
      return false;
  }
  return false;
}

void SpeakerManager::reset(bool keepIfPermanent) {
  if (!keepIfPermanent) {
    speakerDatabase_.clear();
    nextSpeakerId_ = 1;
    highestSpeakerId_ = 0;
  } else {
    std::erase_if(speakerDatabase_, [](const auto& entry) { return !entry.second.isPermanent; });
    std::int64_t highest = 0;
    for (const auto& [id, speaker] : speakerDatabase_) {
      if (const auto value = detail::numericSpeakerId(id)) highest = std::max(highest, *value);
    }
    continueAfter(highest);
  }
  logger_.info("Speaker database reset");
}

void SpeakerManager::continueAfter(std::int64_t highest) {
  highestSpeakerId_ = highest;
  nextSpeakerId_ = after(highest);
}

void SpeakerManager::upsertSpeaker(const Speaker& speaker) {
  upsertSpeaker(speaker.id, speaker.name, speaker.currentEmbedding, speaker.duration,
                speaker.rawEmbeddings, speaker.updateCount, speaker.createdAt, speaker.updatedAt,
                speaker.isPermanent);
}

void SpeakerManager::upsertSpeaker(const std::string& id, const std::optional<std::string>& name,
                                   std::span<const float> currentEmbedding, float duration,
                                   const std::vector<RawEmbedding>& rawEmbeddings,
                                   std::int64_t updateCount, std::optional<double> createdAt,
                                   std::optional<double> updatedAt, bool isPermanent) {
  const double now = SpeakerClock::now();
  const auto it = speakerDatabase_.find(id);
  if (it == speakerDatabase_.end()) {
    Speaker speaker(id, name.value_or(id), currentEmbedding, duration, createdAt.value_or(now),
                    updatedAt.value_or(now), isPermanent);
    speaker.rawEmbeddings = rawEmbeddings;
    speaker.updateCount = updateCount;
    speakerDatabase_.insert_or_assign(id, std::move(speaker));
    if (const auto value = detail::numericSpeakerId(id)) {
      highestSpeakerId_ = std::max(highestSpeakerId_, *value);
      nextSpeakerId_ = std::max(nextSpeakerId_, after(*value));
    }
    logger_.info("Inserted new speaker: " + id);
    return;
  }
  Speaker& existing = it->second;
  existing.currentEmbedding.assign(currentEmbedding.begin(), currentEmbedding.end());
  existing.duration = duration;
  existing.rawEmbeddings = rawEmbeddings;
  existing.updateCount = updateCount;
  existing.updatedAt = updatedAt.value_or(now);
  if (name) existing.name = *name;
  // An upsert never clears permanence.
  if (isPermanent) existing.isPermanent = true;
  logger_.info("Updated existing speaker: " + id);
}

std::vector<std::string> SpeakerManager::speakerIds() const {
  return findSpeakers([](const Speaker&) { return true; });
}

std::vector<std::string> SpeakerManager::permanentSpeakerIds() const {
  return findSpeakers([](const Speaker& speaker) { return speaker.isPermanent; });
}

std::vector<Speaker> SpeakerManager::getSpeakerList() const {
  std::vector<Speaker> speakers;
  speakers.reserve(speakerDatabase_.size());
  for (const auto& [id, speaker] : speakerDatabase_) speakers.push_back(speaker);
  return speakers;
}

std::optional<Speaker> SpeakerManager::getSpeaker(const std::string& id) const {
  const auto it = speakerDatabase_.find(id);
  if (it == speakerDatabase_.end()) return std::nullopt;
  return it->second;
}

void SpeakerManager::makeSpeakerPermanent(const std::string& id) {
  const auto it = speakerDatabase_.find(id);
  if (it == speakerDatabase_.end()) {
    logger_.warning("Failed to mark speaker " + id + " as permanent (speaker not found).");
    return;
  }
  logger_.info("Marking speaker " + id + " as permanent.");
  it->second.isPermanent = true;
}

void SpeakerManager::revokePermanence(const std::string& from) {
  const auto it = speakerDatabase_.find(from);
  if (it == speakerDatabase_.end()) {
    logger_.warning("Failed to revoke permanence from speaker " + from + " (speaker not found).");
    return;
  }
  logger_.info("Revoking permanence from speaker " + from + ".");
  it->second.isPermanent = false;
}

void SpeakerManager::resetPermanentFlags() {
  for (auto& [id, speaker] : speakerDatabase_) speaker.isPermanent = false;
}

void SpeakerManager::mergeSpeaker(const std::string& source, const std::string& into,
                                  const std::optional<std::string>& mergedName, bool stopIfPermanent) {
  if (source == into) return;
  const auto from = speakerDatabase_.find(source);
  const auto to = speakerDatabase_.find(into);
  if (from == speakerDatabase_.end() || to == speakerDatabase_.end()) return;
  if (stopIfPermanent && from->second.isPermanent) return;
  to->second.mergeWith(from->second, mergedName);
  speakerDatabase_.erase(from);
}

std::vector<SpeakerManager::MergePair> SpeakerManager::findMergeablePairs(std::optional<float> speakerThreshold,
                                                                          bool excludeIfBothPermanent) const {
  const float threshold = speakerThreshold.value_or(speakerThreshold_);
  std::vector<const Speaker*> speakers;
  speakers.reserve(speakerDatabase_.size());
  for (const auto& [id, speaker] : speakerDatabase_) speakers.push_back(&speaker);
  std::vector<MergePair> pairs;
  for (std::size_t i = 0; i < speakers.size(); ++i) {
    for (std::size_t j = i + 1; j < speakers.size(); ++j) {
      const Speaker& a = *speakers[i];
      const Speaker& b = *speakers[j];
      if (excludeIfBothPermanent && a.isPermanent && b.isPermanent) {
        logger_.info("findMergeablePairs: Skipping " + a.id + " and " + b.id + " as both are permanent");
        continue;
      }
      if (SpeakerUtilities::cosineDistance(a.currentEmbedding, b.currentEmbedding) < threshold) {
        pairs.push_back(b.isPermanent ? MergePair{a.id, b.id} : MergePair{b.id, a.id});
      }
    }
  }
  return pairs;
}

void SpeakerManager::removeSpeaker(const std::string& id, bool keepIfPermanent) {
  const auto it = speakerDatabase_.find(id);
  if (keepIfPermanent && it != speakerDatabase_.end() && it->second.isPermanent) {
    logger_.warning("Failed to remove speaker: " + id + " (Speaker is permanent)");
    return;
  }
  if (it == speakerDatabase_.end()) {
    logger_.warning("Failed to remove speaker: " + id + " (Speaker not found)");
    return;
  }
  speakerDatabase_.erase(it);
  logger_.info("Removing speaker: " + id);
}

void SpeakerManager::removeSpeakersInactiveSince(double since, bool keepIfPermanent) {
  for (auto it = speakerDatabase_.begin(); it != speakerDatabase_.end();) {
    const Speaker& speaker = it->second;
    if (speaker.updatedAt < since && !(keepIfPermanent && speaker.isPermanent)) {
      logger_.info("Removing speaker " + speaker.id + " due to inactivity");
      it = speakerDatabase_.erase(it);
    } else {
      ++it;
    }
  }
}

void SpeakerManager::removeSpeakersInactiveFor(double seconds, bool keepIfPermanent) {
  removeSpeakersInactiveSince(SpeakerClock::now() - seconds, keepIfPermanent);
}

void SpeakerManager::removeSpeakers(const std::function<bool(const Speaker&)>& where, bool keepIfPermanent) {
  // The predicate sees a snapshot, so that it may look at the database without seeing removals.
  const auto snapshot = speakerDatabase_;
  for (const auto& [id, speaker] : snapshot) {
    if (where(speaker) && !(keepIfPermanent && speaker.isPermanent)) {
      speakerDatabase_.erase(id);
      logger_.info("Removing speaker " + speaker.id + " based on predicate");
    }
  }
}

bool SpeakerManager::reassignSegment(platform::Uuid segmentId, const std::string& from, const std::string& to) {
  const auto source = speakerDatabase_.find(from);
  const auto destination = speakerDatabase_.find(to);
  if (source == speakerDatabase_.end() || destination == speakerDatabase_.end()) {
    logger_.warning("One or both speakers not found: from=" + from + ", to=" + to);
    return false;
  }
  auto& history = source->second.rawEmbeddings;
  const auto entry = std::find_if(history.begin(), history.end(),
                                  [&](const RawEmbedding& raw) { return raw.segmentId == segmentId; });
  if (entry == history.end()) {
    logger_.warning("Segment " + segmentId.toString() + " not found in speaker " + from);
    return false;
  }
  RawEmbedding moved = std::move(*entry);
  history.erase(entry);
  destination->second.rawEmbeddings.push_back(std::move(moved));
  logger_.info("Reassigned segment " + segmentId.toString() + " from " + from + " to " + to);
  return true;
}

SpeakerManager::GlobalSpeakerStats SpeakerManager::getGlobalSpeakerStats() const {
  if (speakerDatabase_.empty()) return {};
  GlobalSpeakerStats stats;
  stats.totalSpeakers = static_cast<std::int64_t>(speakerDatabase_.size());
  std::int64_t updates = 0;
  for (const auto& [id, speaker] : speakerDatabase_) {
    stats.totalDuration += speaker.duration;
    updates += speaker.updateCount;
    if (!speaker.rawEmbeddings.empty()) ++stats.speakersWithHistory;
  }
  const float confidence = static_cast<float>(updates) / static_cast<float>(stats.totalSpeakers) / 10.0f;
  logger_.info(fmt::format("Global stats - Speakers: {}, Duration: {:.1f}s, Avg confidence: {:.2f}, With history: {}",
                           stats.totalSpeakers, stats.totalDuration, confidence, stats.speakersWithHistory));
  stats.averageConfidence = std::min(confidence, 1.0f);
  return stats;
}

}  // namespace tesselaudio
