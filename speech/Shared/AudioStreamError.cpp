#include "speech/Shared/AudioStreamError.h"

#include <fmt/format.h>

namespace tesselaudio {

AudioStreamError::AudioStreamError(Case errorCase)
    : platform::Error("AudioStreamError", kDomain, static_cast<int>(errorCase),
                      fmt::format("The operation couldn\u2019t be completed. ({} error {}.)", kDomain,
                                  static_cast<int>(errorCase))) {}

AudioStreamError AudioStreamError::bufferTooSmall() { return AudioStreamError(Case::bufferTooSmall); }
AudioStreamError AudioStreamError::invalidChunkSkip() { return AudioStreamError(Case::invalidChunkSkip); }
AudioStreamError AudioStreamError::invalidChunkDuration() {
  return AudioStreamError(Case::invalidChunkDuration);
}

}  // namespace tesselaudio
