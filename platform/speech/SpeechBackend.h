#pragma once

#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/audio/AudioFormat.h"
#include "platform/speech/SpeechTranscriber.h"

namespace platform {

class SpeechRecognition;

// What recognises speech behind SpeechTranscriber, SpeechAnalyzer and AssetInventory. One backend
// is installed per process; without one, no locale is supported. A backend is used from several
// threads and guards its own state.
class SpeechBackend {
 public:
  virtual ~SpeechBackend() = default;

  // The locale this backend transcribes for `locale`, or nothing.
  virtual std::optional<std::string> supportedLocale(const std::string& locale) = 0;

  // Whether the models for `locale` are on this machine.
  virtual bool assetsInstalled(const std::string& locale) = 0;

  // Fetches and installs the models for `locale`. Throws the backend's error, or
  // CancellationError when `stop` is requested.
  virtual void downloadAndInstall(const std::string& locale, std::stop_token stop) = 0;

  // The format the backend wants its audio in for a transcriber, or nothing when it has none.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat(
      const std::string& locale, const SpeechTranscriber::Options& options) = 0;

  // A recognition for audio in `format`. Throws the backend's error when it cannot be prepared.
  virtual std::unique_ptr<SpeechRecognition> prepare(const std::string& locale,
                                                     const SpeechTranscriber::Options& options,
                                                     const AudioFormat& format) = 0;

  // Installs `backend` for the process (null removes it). Transcribers made before keep theirs.
  static void install(std::shared_ptr<SpeechBackend> backend);
  static std::shared_ptr<SpeechBackend> installed();
};

}  // namespace platform
