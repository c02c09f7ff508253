#include "VoiceCore/StoreError.h"

#include <utility>

namespace voicecore {

StoreError::StoreError(std::string message)
    : Error("StoreError", "VoiceCore.StoreError", 1, std::move(message)) {}

}  // namespace voicecore
