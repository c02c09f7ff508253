#include "speech/Diarizer/Nemotron3/Nemotron3StreamingState.h"

#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"

namespace tesselaudio {

Nemotron3StreamingState::Nemotron3StreamingState(const Nemotron3Config& config)
    : spkcache(static_cast<std::size_t>(config.preEncoderDims * config.spkcacheLen), 0.0f),
      spkcachePreds(static_cast<std::size_t>(config.spkcacheLen * config.numSpeakers), 0.0f),
      fifo(static_cast<std::size_t>(config.preEncoderDims * config.fifoLen), 0.0f),
      fifoPreds(static_cast<std::size_t>(config.numSpeakers * config.fifoLen), 0.0f) {}

}  // namespace tesselaudio
