#pragma once

#include <cstdint>
#include <optional>

#include "speech/VAD/VadState.h"

namespace tesselaudio {

// Everything the streaming detector carries from one chunk to the next; the caller holds it and
// passes it back. Silence: not triggered. Speech: triggered, no tempEndSample. Pausing: triggered
// with tempEndSample. A value.
struct VadStreamState {
  // The recurrent state after the last chunk.
  VadState modelState = VadState::initial();
  // Inside speech.
  bool triggered = false;
  // Where the current pause was first noticed: the end of its first quiet chunk.
  std::optional<std::int64_t> tempEndSample;
  // Samples fed so far (the real lengths of all chunks given).
  std::int64_t processedSamples = 0;
  // The length of the pause's first quiet chunk, set and cleared with tempEndSample, so that the
  // end is placed after the pause's real start whatever the lengths of the chunks after it.
  std::int64_t tempEndChunkLength = 0;

  // Zero model state, silence, nothing processed.
  static VadStreamState initial();

  bool operator==(const VadStreamState&) const = default;
};

}  // namespace tesselaudio
