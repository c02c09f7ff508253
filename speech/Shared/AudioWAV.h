#pragma once

#include <cstdint>
#include <vector>

// The bytes of a 16-bit PCM mono WAV file. The image is a 44-byte header and the samples, every
// number little-endian:
//
//   0 "RIFF" | 4 36 + data size | 8 "WAVE" | 12 "fmt " | 16 16 | 20 format 1 (PCM) | 22 channels 1
//   24 sample rate | 28 byte rate (rate × 2) | 32 block align 2 | 34 bits 16 | 36 "data"
//   40 data size (2 × samples) | 44 samples, signed 16-bit
namespace tesselaudio::AudioWAV {

// The WAV image of `samples` at `sampleRate` (truncated to whole hertz). With `normalize` the
// samples are first divided by their largest magnitude (when it is above 0). Each sample v becomes
// max(v, -1) × 32,767 truncated toward zero when v < 1, else 32,767 (not-a-number included).
// REQUIRES: sampleRate × 2 and 36 + 2 × samples.size() fit an unsigned 32-bit integer.
std::vector<std::uint8_t> data(const std::vector<float>& samples, double sampleRate, bool normalize);

}  // namespace tesselaudio::AudioWAV
