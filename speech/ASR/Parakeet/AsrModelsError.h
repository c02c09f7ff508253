#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The error of delivering the Parakeet recogniser's models (download, checks, loading). One
// factory per case; code() is the case's position, the description its fixed English text.
// Values.
class AsrModelsError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.AsrModelsError";

  enum class Case {
    modelNotFound,
    downloadFailed,
    loadingFailed,
    modelCompilationFailed,
  };

  // "ASR model '<name>' not found at: <location>"; the location is kept as the error's file.
  static AsrModelsError modelNotFound(const std::string& name, const std::filesystem::path& location);
  // "Failed to download ASR models: <message>".
  static AsrModelsError downloadFailed(const std::string& message);
  // "Failed to load ASR models: <message>".
  static AsrModelsError loadingFailed(const std::string& message);
  // "Failed to compile ASR models: <message>. Try deleting the models and re-downloading."
  static AsrModelsError modelCompilationFailed(const std::string& message);

  Case errorCase() const { return static_cast<Case>(code()); }

  // The message, or the model's name for modelNotFound.
  const std::string& message() const { return message_; }

 private:
  AsrModelsError(Case errorCase, std::string description, std::string message,
                 std::optional<std::filesystem::path> file = std::nullopt);

  std::string message_;
};

}  // namespace tesselaudio
