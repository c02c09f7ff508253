#pragma once

#include <memory>
#include <stop_token>
#include <string>

namespace platform {

class SpeechBackend;

// A pending installation of the speech models a transcriber needs.
class AssetInstallationRequest {
 public:
  AssetInstallationRequest(std::shared_ptr<SpeechBackend> backend, std::string locale);

  // Fetches and installs the models. Throws the backend's error, or CancellationError.
  void downloadAndInstall(std::stop_token stop);

 private:
  const std::shared_ptr<SpeechBackend> backend_;
  const std::string locale_;
};

}  // namespace platform
