#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Builds WAV images chunk by chunk, including damaged ones, for tests of WAV readers.
namespace testsupport {

using Bytes = std::vector<std::byte>;

struct RiffChunk {
  std::string tag;                          // four characters
  Bytes body;
  std::optional<std::uint32_t> sizeField = std::nullopt;  // the size written in the header; body.size() when absent
};

// `value` as `width` little-endian bytes.
Bytes littleEndian(std::uint64_t value, int width);

// "RIFF", the size, "WAVE" and the chunks, each padded to an even length when its body is odd.
Bytes riffWave(const std::vector<RiffChunk>& chunks);

// A 16-byte PCM format body (block align and byte rate filled in from the others).
Bytes formatBody(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t sampleRate,
                 std::uint16_t bitsPerSample);

// A 40-byte extensible format body (format tag 0xFFFE) whose sub-format code is `subFormat`.
Bytes extensibleFormatBody(std::uint16_t subFormat, std::uint16_t channels, std::uint32_t sampleRate,
                           std::uint16_t bitsPerSample);

// Interleaved signed 16-bit samples as bytes.
Bytes pcm16(const std::vector<std::int16_t>& samples);

}  // namespace testsupport
