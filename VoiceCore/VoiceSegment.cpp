#include "VoiceCore/VoiceSegment.h"

#include <nlohmann/json.hpp>

#include "VoiceCore/detail/JsonFields.h"

namespace voicecore {

nlohmann::ordered_json VoiceSegment::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["text"] = text;
  if (start) json["start"] = platform::json::writeDouble(*start, "start");
  if (end) json["end"] = platform::json::writeDouble(*end, "end");
  return json;
}

VoiceSegment VoiceSegment::fromJson(nlohmann::json json) {
  platform::json::requireObject(json, "segment");
  return {detail::takeString(json, "text"), detail::readOptionalDouble(json, "start"),
          detail::readOptionalDouble(json, "end")};
}

}  // namespace voicecore
