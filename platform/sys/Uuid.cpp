#include "platform/sys/Uuid.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/random.h>

#include <uuid/uuid.h>

namespace platform {

Uuid Uuid::random() {
  // One getrandom call: libuuid's generator reseeds from several system calls every time, which
  // shows when a diarizer mints identifiers for every chunk.
  std::array<std::uint8_t, 16> bytes;
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      uuid_t raw;
      uuid_generate_random(raw);
      std::memcpy(bytes.data(), raw, bytes.size());
      return Uuid(bytes);
    }
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
  // uuid_parse wants a terminated string and nothing after the 36 characters.
  if (text.size() != 36) return std::nullopt;
  char terminated[37];
  std::memcpy(terminated, text.data(), 36);
  terminated[36] = '\0';
  uuid_t raw;
  if (uuid_parse(terminated, raw) != 0) return std::nullopt;
  std::array<std::uint8_t, 16> bytes;
  std::memcpy(bytes.data(), raw, bytes.size());
  return Uuid(bytes);
}

std::string Uuid::toString() const {
  uuid_t raw;
  std::memcpy(raw, bytes_.data(), bytes_.size());
  char text[37];
  uuid_unparse_upper(raw, text);
  return std::string(text, 36);
}

bool Uuid::isNil() const {
  return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace platform

std::size_t std::hash<platform::Uuid>::operator()(const platform::Uuid& uuid) const noexcept {
  std::uint64_t high;
  std::uint64_t low;
  std::memcpy(&high, uuid.bytes().data(), 8);
  std::memcpy(&low, uuid.bytes().data() + 8, 8);
  return std::hash<std::uint64_t>{}(high ^ (low * 0x9E3779B97F4A7C15ull));
}
