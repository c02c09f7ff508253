#include "speech/Speaker/Speaker.h"

#include <utility>

#include "platform/dsp/VectorOps.h"
#include "platform/sys/JsonFields.h"
#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"
#include "speech/Speaker/SendableSpeaker.h"
#include "speech/Speaker/SpeakerClock.h"
#include "speech/Speaker/SpeakerUtilities.h"

namespace tesselaudio {

using namespace platform::json;

namespace {

// Embeddings at or below this sum of squares carry no direction worth keeping.
constexpr float kMinimumSumOfSquares = 0.01f;

bool strongEnough(std::span<const float> embedding) {
  return platform::dsp::dot(embedding, embedding) > kMinimumSumOfSquares;
}

}  // namespace

Speaker::Speaker(std::optional<std::string> id, std::optional<std::string> name,
                 std::span<const float> currentEmbedding, float duration,
                 std::optional<double> createdAt, std::optional<double> updatedAt, bool isPermanent)
    : id(id ? std::move(*id) : platform::Uuid::random().toString()),
      name(name ? std::move(*name) : this->id),
      currentEmbedding(VDSPOperations::l2Normalize(currentEmbedding)),
      duration(duration),
      isPermanent(isPermanent) {
  const double now = SpeakerClock::now();
  this->createdAt = createdAt.value_or(now);
  this->updatedAt = updatedAt.value_or(now);
}

void Speaker::updateMainEmbedding(float duration, std::span<const float> embedding,
                                  platform::Uuid segmentId, float alpha) {
  if (!strongEnough(embedding)) return;
  const std::vector<float> normalized = VDSPOperations::l2Normalize(embedding);
  addRawEmbedding(RawEmbedding(segmentId, normalized, SpeakerClock::now()));
  // The blend works on the fresh average of the history, which already holds the new embedding.
  if (currentEmbedding.size() == normalized.size()) {
    std::vector<float> blended(normalized.size());
    for (std::size_t i = 0; i < blended.size(); ++i) {
      blended[i] = alpha * currentEmbedding[i] + (1 - alpha) * normalized[i];
    }
    currentEmbedding = VDSPOperations::l2Normalize(blended);
  }
  this->duration += duration;
  updatedAt = SpeakerClock::now();
  updateCount += 1;
}

void Speaker::addRawEmbedding(RawEmbedding entry) {
  if (!strongEnough(entry.embedding)) return;
  appendToHistory(rawEmbeddings, std::move(entry), kHistoryCapacity);
  recalculateMainEmbedding();
}

void Speaker::recalculateMainEmbedding() {
  if (auto average = SpeakerUtilities::averageEmbeddings(rawEmbeddings)) {
    currentEmbedding = std::move(*average);
    updatedAt = SpeakerClock::now();
  }
}

std::optional<RawEmbedding> Speaker::removeRawEmbedding(platform::Uuid segmentId) {
  auto removal = SpeakerUtilities::removeRawEmbedding(rawEmbeddings, segmentId);
  if (!removal.removed) return std::nullopt;
  rawEmbeddings = std::move(removal.updated);
  recalculateMainEmbedding();
  return removal.removed;
}

void Speaker::mergeWith(const Speaker& other, const std::optional<std::string>& keepName) {
  auto merged = SpeakerUtilities::mergeSpeakers(rawEmbeddings, duration, other.rawEmbeddings,
                                                other.duration, kHistoryCapacity);
  rawEmbeddings = std::move(merged.mergedRaw);
  duration = other.duration + duration;
  if (keepName) name = *keepName;
  recalculateMainEmbedding();
  updatedAt = SpeakerClock::now();
  updateCount += other.updateCount;
}

SendableSpeaker Speaker::toSendable() const { return SendableSpeaker(*this); }

nlohmann::ordered_json Speaker::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["id"] = id;
  json["name"] = name;
  json["currentEmbedding"] = writeFloats(currentEmbedding, "currentEmbedding");
  json["duration"] = writeFloat(duration, "duration");
  json["createdAt"] = writeDouble(createdAt, "createdAt");
  json["updatedAt"] = writeDouble(updatedAt, "updatedAt");
  json["updateCount"] = updateCount;
  nlohmann::ordered_json history = nlohmann::ordered_json::array();
  for (const RawEmbedding& entry : rawEmbeddings) history.push_back(entry.toJson());
  json["rawEmbeddings"] = std::move(history);
  json["isPermanent"] = isPermanent;
  return json;
}

Speaker Speaker::fromJson(const nlohmann::json& json) {
  requireObject(json, "Speaker");
  Speaker speaker(readString(requiredMember(json, "id"), "id"),
                  readString(requiredMember(json, "name"), "name"), {},
                  readFloat(requiredMember(json, "duration"), "duration"),
                  readDouble(requiredMember(json, "createdAt"), "createdAt"),
                  readDouble(requiredMember(json, "updatedAt"), "updatedAt"),
                  readBool(requiredMember(json, "isPermanent"), "isPermanent"));
  // Stored as decoded: no normalisation, no trimming.
  speaker.currentEmbedding = readFloats(requiredMember(json, "currentEmbedding"), "currentEmbedding");
  speaker.updateCount = readInt64(requiredMember(json, "updateCount"), "updateCount");
  speaker.rawEmbeddings = readRecords<RawEmbedding>(requiredMember(json, "rawEmbeddings"), "rawEmbeddings");
  return speaker;
}

}  // namespace tesselaudio
