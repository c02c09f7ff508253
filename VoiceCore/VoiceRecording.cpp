#include "VoiceCore/VoiceRecording.h"

#include <chrono>
#include <utility>

#include <nlohmann/json.hpp>

#include "VoiceCore/detail/JsonFields.h"
#include "platform/sys/JsonCodingError.h"

namespace voicecore {
namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;

double nowSince2001() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count() - kSecondsFrom1970To2001;
}

}  // namespace

VoiceRecording VoiceRecording::make(platform::Uuid id, std::string title, std::string filename,
                                    double duration, std::string transcriptStatus,
                                    std::vector<VoiceSegment> segments) {
  return {id,       std::move(title),           std::move(filename), nowSince2001(),
          duration, std::move(transcriptStatus), std::move(segments)};
}

nlohmann::ordered_json VoiceRecording::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["id"] = id.toString();
  json["title"] = title;
  json["filename"] = filename;
  json["importedAt"] = platform::json::writeDouble(importedAt, "importedAt");
  json["duration"] = platform::json::writeDouble(duration, "duration");
  json["transcriptStatus"] = transcriptStatus;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const VoiceSegment& segment : segments) list.push_back(segment.toJson());
  json["segments"] = std::move(list);
  return json;
}

VoiceRecording VoiceRecording::fromJson(nlohmann::json json) {
  platform::json::requireObject(json, "recording");
  VoiceRecording recording;
  recording.id = detail::readUuid(json, "id");
  recording.title = detail::takeString(json, "title");
  recording.filename = detail::takeString(json, "filename");
  recording.importedAt = detail::readDouble(json, "importedAt");
  recording.duration = detail::readDouble(json, "duration");
  recording.transcriptStatus = detail::takeString(json, "transcriptStatus");
  auto& list = platform::json::requiredMember(json, "segments");
  if (!list.is_array()) throw platform::JsonCodingError::typeMismatch("segments", "an array");
  recording.segments.reserve(list.size());
  for (auto& element : list) recording.segments.push_back(VoiceSegment::fromJson(std::move(element)));
  return recording;
}

}  // namespace voicecore
