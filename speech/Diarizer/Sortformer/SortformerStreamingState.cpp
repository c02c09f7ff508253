#include "speech/Diarizer/Sortformer/SortformerStreamingState.h"

#include <cstddef>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"

namespace tesselaudio {

SortformerStreamingState::SortformerStreamingState(const SortformerConfig& config)
    : meanSilenceEmbedding(static_cast<std::size_t>(config.preEncoderDims), 0.0f) {
  spkcache.reserve(
      static_cast<std::size_t>((config.spkcacheLen + config.spkcacheUpdatePeriod) * config.preEncoderDims));
  fifo.reserve(static_cast<std::size_t>((config.fifoLen + config.chunkLen) * config.preEncoderDims));
}

void SortformerStreamingState::cleanup() {
  spkcache = {};
  spkcacheLength = 0;
  spkcachePreds.reset();
  fifo = {};
  fifoLength = 0;
  fifoPreds.reset();
  meanSilenceEmbedding = {};
  silenceFrameCount = 0;
}

}  // namespace tesselaudio
