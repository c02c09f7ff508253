#pragma once

#include <optional>

#include "speech/VAD/VadStreamEvent.h"
#include "speech/VAD/VadStreamState.h"

namespace tesselaudio {

// The outcome of one streamed chunk. A value.
struct VadStreamResult {
  // The state to give with the next chunk.
  VadStreamState state;
  // The start or end found in this chunk, if any.
  std::optional<VadStreamEvent> event;
  // The chunk's speech probability.
  float probability = 0;

  bool operator==(const VadStreamResult&) const = default;
};

}  // namespace tesselaudio
