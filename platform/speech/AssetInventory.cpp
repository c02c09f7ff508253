#include "platform/speech/AssetInventory.h"

#include "platform/speech/SpeechBackend.h"
#include "platform/speech/SpeechTranscriber.h"

namespace platform::AssetInventory {

std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
    const SpeechTranscriber& transcriber) {
  const auto& backend = transcriber.backend();
  if (!backend || backend->assetsInstalled(transcriber.locale())) return nullptr;
  return std::make_unique<AssetInstallationRequest>(backend, transcriber.locale());
}

}  // namespace platform::AssetInventory
