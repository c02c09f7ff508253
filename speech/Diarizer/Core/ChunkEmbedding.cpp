#include "speech/Diarizer/Core/ChunkEmbedding.h"

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

namespace {

template <class Number, class Write>
Json writeNumbers(const std::vector<Number>& values, const char* name, Write write) {
  Json array = Json::array();
  for (Number value : values) array.push_back(write(value, name));
  return array;
}

template <class Number, class Read>
std::vector<Number> readNumbers(const Json& value, const char* name, Read read) {
  if (!value.is_array()) throw platform::JsonCodingError::typeMismatch(name, "an array");
  std::vector<Number> numbers;
  numbers.reserve(value.size());
  for (const Json& element : value) numbers.push_back(read(element, name));
  return numbers;
}

}  // namespace

nlohmann::ordered_json ChunkEmbedding::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["speakerId"] = speakerId;
  json["chunkIndex"] = chunkIndex;
  json["speakerIndex"] = speakerIndex;
  json["startTimeSeconds"] = writeDouble(startTimeSeconds, "startTimeSeconds");
  json["endTimeSeconds"] = writeDouble(endTimeSeconds, "endTimeSeconds");
  json["embedding256"] = writeNumbers(embedding256, "embedding256", writeFloat);
  json["rho128"] = writeNumbers(rho128, "rho128", writeDouble);
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
  e.embedding256 =
      readNumbers<float>(requiredMember(json, "embedding256"), "embedding256", readFloat);
  e.rho128 = readNumbers<double>(requiredMember(json, "rho128"), "rho128", readDouble);
  return e;
}

}  // namespace tesselaudio
