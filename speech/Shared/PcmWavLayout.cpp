#include "speech/Shared/PcmWavLayout.h"

#include <algorithm>

namespace tesselaudio {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint32_t kExtensibleChunkSize = 40;

// REQUIRES: offset + 2 <= bytes.size().
std::uint16_t uint16At(std::span<const std::byte> bytes, std::int64_t offset) {
  const auto at = static_cast<std::size_t>(offset);
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[at]) |
                                    std::to_integer<unsigned>(bytes[at + 1]) << 8);
}

// REQUIRES: offset + 4 <= bytes.size().
std::uint32_t uint32At(std::span<const std::byte> bytes, std::int64_t offset) {
  return static_cast<std::uint32_t>(uint16At(bytes, offset)) |
         static_cast<std::uint32_t>(uint16At(bytes, offset + 2)) << 16;
}

}  // namespace

std::string_view PcmWavLayout::tag(std::span<const std::byte> bytes, std::int64_t offset) {
  if (offset < 0 || offset + 4 > static_cast<std::int64_t>(bytes.size())) return {};
  return {reinterpret_cast<const char*>(bytes.data()) + offset, 4};
}

std::optional<PcmWavLayout> PcmWavLayout::parse(std::span<const std::byte> bytes, std::int64_t sampleRate) {
  const auto length = static_cast<std::int64_t>(bytes.size());
  if (length < 12) return std::nullopt;
  if (tag(bytes, 0) != "RIFF" || tag(bytes, 8) != "WAVE") return std::nullopt;
  if (length < 20) return std::nullopt;

  // pos is the body of the current chunk, its header the eight bytes before; pos <= length holds
  // throughout, so the header is always inside the file.
  std::int64_t pos = 20;
  bool acceptable = false;
  for (;;) {
    const std::string_view chunk = tag(bytes, pos - 8);
    const std::uint32_t size = uint32At(bytes, pos - 4);
    if (chunk == "fmt ") {
      if (pos + 16 > length) return std::nullopt;
      std::uint16_t format = uint16At(bytes, pos);
      const std::uint16_t channels = uint16At(bytes, pos + 2);
      const std::uint32_t rate = uint32At(bytes, pos + 4);
      const std::uint16_t bits = uint16At(bytes, pos + 14);
      if (format == kFormatExtensible && size >= kExtensibleChunkSize) {
        format = pos + 26 > length ? kFormatExtensible : uint16At(bytes, pos + 24);
      }
      acceptable = format == kFormatPcm && channels == 1 && rate == sampleRate && bits == 16;
    } else if (chunk == "data") {
      if (!acceptable) return std::nullopt;
      const std::int64_t available = std::min<std::int64_t>(length - pos, size);
      return PcmWavLayout{pos, available / 2};
    }
    pos += static_cast<std::int64_t>(size) + (size % 2) + 8;
    if (pos > length) return std::nullopt;
  }
}

}  // namespace tesselaudio
