#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/audio/AudioStreamBasicDescription.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

// A block of audio as a capture or media pipeline hands it over: its stream description (absent
// when the buffer carries no format), its sample count (frames), and the samples as interleaved
// PCM bytes in that description. Nothing on Linux produces one; code that accepts them builds them
// from its own data. A value.
struct MediaSampleBuffer {
  // Status codes of copyPCMData.
  static constexpr std::int32_t kStatusOK = 0;
  static constexpr std::int32_t kErrorRequiredParameterMissing = -12731;
  static constexpr std::int32_t kErrorArrayTooSmall = -12737;
  static constexpr std::int32_t kErrorInvalidDataFormat = -12739;

  std::optional<AudioStreamBasicDescription> formatDescription;
  std::int64_t numSamples = 0;
  std::vector<std::byte> data;

  // Copies frames [0, frames) into `buffer`, de-interleaving into its planes when it has them.
  // Returns kStatusOK, kErrorRequiredParameterMissing without a description,
  // kErrorInvalidDataFormat when the buffer's layout differs from the description's,
  // kErrorArrayTooSmall when the data or the buffer hold fewer frames. Does not set frameLength.
  std::int32_t copyPCMData(std::int64_t frames, PcmBuffer& buffer) const;
};

}  // namespace platform
