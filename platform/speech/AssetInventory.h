#pragma once

#include <memory>

#include "platform/speech/AssetInstallationRequest.h"

namespace platform {

class SpeechTranscriber;

// The inventory of installed speech models.
namespace AssetInventory {

// An installation request when the models `transcriber` needs are missing, null when they are
// installed or the transcriber has no backend (it cannot run anyway). Throws the backend's error.
std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(
    const SpeechTranscriber& transcriber);

}  // namespace AssetInventory

}  // namespace platform
