#include "speech/Shared/Download/DownloadError.h"

#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

namespace tesselaudio {

namespace {

// Whole seconds toward zero; the window always comes from a finite configuration value.
long long wholeSeconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  constexpr double kLimit = 9.2e18;
  if (seconds >= kLimit) return static_cast<long long>(kLimit);
  if (seconds <= -kLimit) return -static_cast<long long>(kLimit);
  return static_cast<long long>(std::trunc(seconds));
}

}  // namespace

DownloadError::DownloadError(Case errorCase, std::string description, std::exception_ptr underlying)
    : platform::Error("DownloadError", kDomain, static_cast<int>(errorCase), std::move(description),
                      std::nullopt, std::move(underlying)) {}

DownloadError DownloadError::rateLimited(int statusCode, std::string message) {
  DownloadError error(Case::rateLimited, "Hugging Face rate limit encountered: " + message);
  error.statusCode_ = statusCode;
  error.message_ = std::move(message);
  return error;
}

DownloadError DownloadError::downloadFailed(std::string path, std::exception_ptr underlying) {
  DownloadError error(Case::downloadFailed,
                      fmt::format("Failed to download {}: {}", path, platform::Error::messageOf(underlying)),
                      underlying);
  error.path_ = std::move(path);
  return error;
}

DownloadError DownloadError::modelNotFound(std::string path) {
  DownloadError error(Case::modelNotFound, "Model file not found: " + path);
  error.path_ = std::move(path);
  return error;
}

DownloadError DownloadError::htmlErrorResponse(std::string path, std::string snippet) {
  DownloadError error(Case::htmlErrorResponse,
                      fmt::format("HuggingFace returned HTML instead of JSON for {} (rate limit or "
                                  "server issue): {}",
                                  path, snippet));
  error.path_ = std::move(path);
  error.snippet_ = std::move(snippet);
  return error;
}

DownloadError DownloadError::invalidArtifact(std::string path, std::string reason) {
  DownloadError error(Case::invalidArtifact,
                      fmt::format("Downloaded artifact for {} is invalid ({}); refusing to cache it.",
                                  path, reason));
  error.path_ = std::move(path);
  error.reason_ = std::move(reason);
  return error;
}

DownloadError DownloadError::stalled(std::string path, double window) {
  DownloadError error(Case::stalled,
                      fmt::format("Download of {} stalled (no meaningful progress for {}s); "
                                  "cancelled for retry.",
                                  path, wholeSeconds(window)));
  error.path_ = std::move(path);
  error.window_ = window;
  return error;
}

DownloadError DownloadError::networkDisabled(std::string operation) {
  DownloadError error(Case::networkDisabled,
                      fmt::format("TesselAudio offline mode: {} blocked", operation));
  error.operation_ = std::move(operation);
  return error;
}

DownloadError DownloadError::modelMissing(std::string repo, std::vector<std::string> missing) {
  DownloadError error(Case::modelMissing,
                      fmt::format("TesselAudio offline mode: required models missing for {}: {}",
                                  repo, fmt::join(missing, ", ")));
  error.repo_ = std::move(repo);
  error.missing_ = std::move(missing);
  return error;
}

DownloadError DownloadError::invalidResponse() {
  return DownloadError(Case::invalidResponse, "Received an invalid response from Hugging Face.");
}

}  // namespace tesselaudio
