#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tesselaudio {

// Where the samples of a WAV file lie, when the file can be read in place as mono 16-bit PCM.
//
// A WAV file is "RIFF", a 32-bit size, "WAVE", then chunks: a four-byte tag, an unsigned 32-bit
// size and that many bytes of body, plus one pad byte after an odd size; every integer is
// little-endian. The file is read in place when a "fmt " chunk (PCM, or the extensible format of at
// least 40 bytes whose sub-format code is PCM; one channel; 16 bits; the required rate) comes before
// the "data" chunk. Only chunk headers and the first 26 bytes of the format chunk are looked at,
// never the samples. A value.
struct PcmWavLayout {
  std::int64_t dataOffset = 0;   // byte offset of the first sample, just after the "data" header
  std::int64_t sampleCount = 0;  // whole 16-bit samples present: a short file gives what it holds

  // The layout of `bytes` read at `sampleRate` Hz, or none when the file is not one that can be
  // read in place (too short, not RIFF/WAVE, chunk headers cut off, a format chunk cut short, no
  // acceptable format before the data, a chunk walk that steps past the end). Never fails otherwise.
  static std::optional<PcmWavLayout> parse(std::span<const std::byte> bytes, std::int64_t sampleRate);

  bool operator==(const PcmWavLayout&) const = default;

 private:
  // The four bytes at `offset` as text, or "" when fewer than four remain.
  static std::string_view tag(std::span<const std::byte> bytes, std::int64_t offset);
};

}  // namespace tesselaudio
