#include "voicememos/VoiceMemosError.h"

#include <utility>

#include <fmt/format.h>

namespace voicememos {

VoiceMemosError::VoiceMemosError(Kind kind, Payload payload, std::string message)
    : Error("VoiceMemosError", "voicememos.VoiceMemosError", static_cast<int>(kind),
            std::move(message)),
      kind_(kind),
      payload_(std::move(payload)) {}

VoiceMemosError VoiceMemosError::queryFailed(std::string databaseMessage) {
  std::string message = "The Voice Memos library cannot be read: " + databaseMessage;
  return {Kind::queryFailed, std::move(databaseMessage), std::move(message)};
}

VoiceMemosError VoiceMemosError::invalidLimit(std::int64_t limit) {
  return {Kind::invalidLimit, limit,
          fmt::format("The limit must be a positive number, not {}.", limit)};
}

VoiceMemosError VoiceMemosError::recordingNotFound(Recording::ID id) {
  return {Kind::recordingNotFound, id,
          fmt::format("No recording has the identifier {}.", id.rawValue)};
}

VoiceMemosError VoiceMemosError::audioFileNotFound(Recording::ID id) {
  return {Kind::audioFileNotFound, id,
          fmt::format("The audio file of the recording with the identifier {} is not on this computer.",
                      id.rawValue)};
}

VoiceMemosError VoiceMemosError::storeNotFound() {
  return {Kind::storeNotFound, {}, "The selected folder does not contain a Voice Memos library."};
}

VoiceMemosError VoiceMemosError::storeNotReadable() {
  return {Kind::storeNotReadable, {},
          "The Voice Memos library cannot be read. The database and its write-ahead log files "
          "must be readable."};
}

VoiceMemosError VoiceMemosError::unsupportedSchema() {
  return {Kind::unsupportedSchema, {}, "The Voice Memos library uses an unsupported schema."};
}

VoiceMemosError VoiceMemosError::databaseBusy() {
  return {Kind::databaseBusy, {}, "Voice Memos is using the library. Try again later."};
}

VoiceMemosError VoiceMemosError::timedOut() {
  return {Kind::timedOut, {}, "Reading the Voice Memos library stopped at the time limit."};
}

VoiceMemosError VoiceMemosError::malformedAudioFile() {
  return {Kind::malformedAudioFile, {},
          "The audio file is damaged or is not a QuickTime or MPEG-4 file."};
}

VoiceMemosError VoiceMemosError::malformedTranscript() {
  return {Kind::malformedTranscript, {},
          "The transcript in the audio file is damaged or in an unknown format."};
}

}  // namespace voicememos
