#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/sys/Error.h"
#include "voicememos/Recording.h"

namespace voicememos {

// The one error of the Voice Memos reader. Each kind carries a fixed English message, which is what
// a user interface shows. File system errors and cancellation pass through as their own types.
// Values compare equal when kind and payload are equal.
class VoiceMemosError : public platform::Error {
 public:
  // In this order; code() is the kind's position.
  enum class Kind {
    queryFailed,
    invalidLimit,
    recordingNotFound,
    audioFileNotFound,
    storeNotFound,
    storeNotReadable,
    unsupportedSchema,
    databaseBusy,
    timedOut,
    malformedAudioFile,
    malformedTranscript,
  };

  // What a kind carries: nothing, the database's message, a limit or a recording's identifier.
  using Payload = std::variant<std::monostate, std::string, std::int64_t, Recording::ID>;

  // "The Voice Memos library cannot be read: " + the database's own message.
  static VoiceMemosError queryFailed(std::string databaseMessage);
  // "The limit must be a positive number, not <limit>."
  static VoiceMemosError invalidLimit(std::int64_t limit);
  // "No recording has the identifier <id>."
  static VoiceMemosError recordingNotFound(Recording::ID id);
  // "The audio file of the recording with the identifier <id> is not on this computer."
  static VoiceMemosError audioFileNotFound(Recording::ID id);
  static VoiceMemosError storeNotFound();
  static VoiceMemosError storeNotReadable();
  static VoiceMemosError unsupportedSchema();
  static VoiceMemosError databaseBusy();
  static VoiceMemosError timedOut();
  static VoiceMemosError malformedAudioFile();
  static VoiceMemosError malformedTranscript();

  Kind kind() const { return kind_; }
  const Payload& payload() const { return payload_; }

  bool operator==(const VoiceMemosError& other) const {
    return kind_ == other.kind_ && payload_ == other.payload_;
  }

 private:
  VoiceMemosError(Kind kind, Payload payload, std::string message);

  Kind kind_;
  Payload payload_;
};

}  // namespace voicememos
