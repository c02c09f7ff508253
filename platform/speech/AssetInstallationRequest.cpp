#include "platform/speech/AssetInstallationRequest.h"

#include "platform/speech/SpeechBackend.h"

namespace platform {

AssetInstallationRequest::AssetInstallationRequest(std::shared_ptr<SpeechBackend> backend,
                                                   std::string locale)
    : backend_(std::move(backend)), locale_(std::move(locale)) {}

void AssetInstallationRequest::downloadAndInstall(std::stop_token stop) {
  backend_->downloadAndInstall(locale_, stop);
}

}  // namespace platform
