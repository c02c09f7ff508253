#include "speech/Diarizer/Core/ChunkEmbedding.h"

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

nlohmann::ordered_json ChunkEmbedding::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["speakerId"] = speakerId;
  json["chunkIndex"] = chunkIndex;
  json["speakerIndex"] = speakerIndex;
  json["startTimeSeconds"] = writeDouble(startTimeSeconds, "startTimeSeconds");
  json["endTimeSeconds"] = writeDouble(endTimeSeconds, "endTimeSeconds");
  json["embedding256"] = writeFloats(embedding256, "embedding256");
  json["rho128"] = writeDoubles(rho128, "rho128");
  return json;
}

ChunkEmbedding ChunkEmbedding::fromJson(const nlohmann::json& json) {
  requireObject(json, "ChunkEmbedding");
  ChunkEmbedding e;
  e.speakerId = readString(requiredMember(json, "speakerId"), "speakerId");
  e.chunkIndex = readInt64(requiredMember(json, "chunkIndex"), "chunkIndex");
  e.speakerIndex = readInt64(requiredMember(json, "speakerIndex"), "speakerIndex");
  e.startTimeSeconds = readDouble(requiredMember(json, "startTimeSeconds"), "startTimeSeconds");
  e.endTimeSeconds = readDouble(requiredMember(json, "endTimeSeconds"), "endTimeSeconds");
  e.embedding256 = readFloats(requiredMember(json, "embedding256"), "embedding256");
  e.rho128 = readDoubles(requiredMember(json, "rho128"), "rho128");
  return e;
}

}  // namespace tesselaudio
