#include "speech/ASR/Parakeet/TokenTiming.h"

#include "speech/Shared/JsonFields.h"

namespace tesselaudio {

using namespace detail;

nlohmann::json TokenTiming::toJson() const {
  Json json = Json::object();
  json["token"] = token;
  json["tokenId"] = tokenId;
  json["startTime"] = writeDouble(startTime, "startTime");
  json["endTime"] = writeDouble(endTime, "endTime");
  json["confidence"] = writeFloat(confidence, "confidence");
  return json;
}

TokenTiming TokenTiming::fromJson(const nlohmann::json& json) {
  requireObject(json, "TokenTiming");
  TokenTiming t;
  t.token = readString(requiredKey(json, "token"), "token");
  t.tokenId = readInt64(requiredKey(json, "tokenId"), "tokenId");
  t.startTime = readDouble(requiredKey(json, "startTime"), "startTime");
  t.endTime = readDouble(requiredKey(json, "endTime"), "endTime");
  t.confidence = readFloat(requiredKey(json, "confidence"), "confidence");
  return t;
}

}  // namespace tesselaudio
