#include "speech/ASR/Parakeet/TokenTiming.h"

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

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
  t.token = readString(requiredMember(json, "token"), "token");
  t.tokenId = readInt64(requiredMember(json, "tokenId"), "tokenId");
  t.startTime = readDouble(requiredMember(json, "startTime"), "startTime");
  t.endTime = readDouble(requiredMember(json, "endTime"), "endTime");
  t.confidence = readFloat(requiredMember(json, "confidence"), "confidence");
  return t;
}

}  // namespace tesselaudio
