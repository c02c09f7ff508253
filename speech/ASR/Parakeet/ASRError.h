#pragma once

#include <exception>
#include <filesystem>
#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The shared recognition error of the speech library, thrown by recognisers, diarizers and other
// engines. One factory per case; code() is the case's position (processingFailed 0 ...
// modelCompilationFailed 8), the description the case's fixed English text. Values.
class ASRError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.ASRError";

  enum class Case {
    processingFailed,
    unsupportedPlatform,
    streamingConversionFailed,
    fileAccessFailed,
    encoderInstantiationFailed,
    notInitialized,
    invalidAudioData,
    modelLoadFailed,
    modelCompilationFailed,
  };

  // "ASR processing failed: <message>".
  static ASRError processingFailed(const std::string& message);
  // The message unchanged.
  static ASRError unsupportedPlatform(const std::string& message);
  // "Streaming audio conversion failed: <underlying's description>"; `underlying` is kept.
  static ASRError streamingConversionFailed(std::exception_ptr underlying);
  // "Failed to access audio file at <path>: <underlying's description>".
  static ASRError fileAccessFailed(const std::filesystem::path& file, std::exception_ptr underlying);
  // "Encoder ANE program failed to instantiate: <message>".
  static ASRError encoderInstantiationFailed(const std::string& message);
  static ASRError notInitialized();
  static ASRError invalidAudioData();
  static ASRError modelLoadFailed();
  static ASRError modelCompilationFailed();

  Case errorCase() const { return static_cast<Case>(code()); }

  // The string payload of processingFailed, unsupportedPlatform and encoderInstantiationFailed;
  // empty otherwise.
  const std::string& message() const { return message_; }

 private:
  ASRError(Case errorCase, std::string description, std::string message = {},
           std::optional<std::filesystem::path> file = std::nullopt,
           std::exception_ptr underlying = nullptr);

  std::string message_;
};

}  // namespace tesselaudio
