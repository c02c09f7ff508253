#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The error of model delivery, thrown on the road from the model hub to the local cache and let
// through by every model loader. One factory per case; code() is the case's position (rateLimited
// 0 ... invalidResponse 8), and the description is the case's fixed English text. Values.
class DownloadError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.DownloadError";

  enum class Case {
    rateLimited,
    downloadFailed,
    modelNotFound,
    htmlErrorResponse,
    invalidArtifact,
    stalled,
    networkDisabled,
    modelMissing,
    invalidResponse,
  };

  // "Hugging Face rate limit encountered: <message>" (the status is not printed).
  static DownloadError rateLimited(int statusCode, std::string message);
  // "Failed to download <path>: <underlying's description>"; `underlying` is kept unchanged.
  static DownloadError downloadFailed(std::string path, std::exception_ptr underlying);
  static DownloadError modelNotFound(std::string path);
  static DownloadError htmlErrorResponse(std::string path, std::string snippet);
  static DownloadError invalidArtifact(std::string path, std::string reason);
  // The window is printed in whole seconds, truncated toward zero.
  static DownloadError stalled(std::string path, double window);
  static DownloadError networkDisabled(std::string operation);
  static DownloadError modelMissing(std::string repo, std::vector<std::string> missing);
  static DownloadError invalidResponse();

  Case errorCase() const { return static_cast<Case>(code()); }

  // The payload; each is empty (or 0) for the cases that do not carry it.
  int statusCode() const { return statusCode_; }
  const std::string& message() const { return message_; }
  const std::string& path() const { return path_; }
  const std::string& snippet() const { return snippet_; }
  const std::string& reason() const { return reason_; }
  double window() const { return window_; }
  const std::string& operation() const { return operation_; }
  const std::string& repo() const { return repo_; }
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  DownloadError(Case errorCase, std::string description, std::exception_ptr underlying = nullptr);

  int statusCode_ = 0;
  std::string message_;
  std::string path_;
  std::string snippet_;
  std::string reason_;
  double window_ = 0;
  std::string operation_;
  std::string repo_;
  std::vector<std::string> missing_;
};

}  // namespace tesselaudio
