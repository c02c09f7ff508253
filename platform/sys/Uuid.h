#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A 128-bit universally unique identifier (RFC 4122), the library's identity for segments,
// speakers and the like. A value; safe to copy and read from any thread.
//
// Text form: 36 characters, five groups of hexadecimal digits joined by '-' (8-4-4-4-12), written in
// upper case and read in either case.
class Uuid {
 public:
  // The nil identifier (all zero bits).
  Uuid() = default;
  explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // A new version-4 identifier from the system's random source.
  static Uuid random();

  // Parses the text form; none when `text` is not a well-formed identifier.
  static std::optional<Uuid> fromString(std::string_view text);

  // The text form in upper case.
  std::string toString() const;

  bool isNil() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  auto operator<=>(const Uuid&) const = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace platform

template <>
struct std::hash<platform::Uuid> {
  std::size_t operator()(const platform::Uuid& uuid) const noexcept;
};
