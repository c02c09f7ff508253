#include "VoiceCore/VoiceBookmark.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "VoiceCore/detail/JsonFields.h"

namespace voicecore {

VoiceBookmark VoiceBookmark::make(platform::Uuid recordingID, double seconds, std::string note) {
  return {platform::Uuid::random(), recordingID, seconds, std::move(note)};
}

nlohmann::ordered_json VoiceBookmark::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["id"] = id.toString();
  json["recordingID"] = recordingID.toString();
  json["seconds"] = platform::json::writeDouble(seconds, "seconds");
  json["note"] = note;
  return json;
}

VoiceBookmark VoiceBookmark::fromJson(nlohmann::json json) {
  platform::json::requireObject(json, "bookmark");
  return {detail::readUuid(json, "id"), detail::readUuid(json, "recordingID"),
          detail::readDouble(json, "seconds"), detail::takeString(json, "note")};
}

}  // namespace voicecore
