#include "speech/Speaker/RawEmbedding.h"

#include <algorithm>
#include <utility>

#include "platform/sys/JsonFields.h"
#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"

namespace tesselaudio {

using namespace platform::json;

RawEmbedding::RawEmbedding(platform::Uuid segmentId, std::span<const float> embedding,
                           double timestamp)
    : segmentId(segmentId), embedding(VDSPOperations::l2Normalize(embedding)), timestamp(timestamp) {}

nlohmann::ordered_json RawEmbedding::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["segmentId"] = segmentId.toString();
  json["embedding"] = writeFloats(embedding, "embedding");
  json["timestamp"] = writeDouble(timestamp, "timestamp");
  return json;
}

RawEmbedding RawEmbedding::fromJson(const nlohmann::json& json) {
  requireObject(json, "RawEmbedding");
  const std::string idText = readString(requiredMember(json, "segmentId"), "segmentId");
  const auto segmentId = platform::Uuid::fromString(idText);
  if (!segmentId) throw platform::JsonCodingError::invalidValue("segmentId", "not a UUID: " + idText);
  RawEmbedding entry(*segmentId, {}, readDouble(requiredMember(json, "timestamp"), "timestamp"));
  entry.embedding = readFloats(requiredMember(json, "embedding"), "embedding");
  return entry;
}

void appendToHistory(std::vector<RawEmbedding>& history, RawEmbedding entry, std::size_t capacity) {
  if (!history.empty() && history.size() >= std::max<std::size_t>(capacity, 1)) {
    const auto oldest = std::min_element(
        history.begin(), history.end(),
        [](const RawEmbedding& a, const RawEmbedding& b) { return a.timestamp < b.timestamp; });
    history.erase(oldest);
  }
  history.push_back(std::move(entry));
}

}  // namespace tesselaudio
