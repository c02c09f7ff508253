#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tesselaudio {

// The encoder precision of the Parakeet TDT v3 repository; each has its own encoder file.
// A plain value, compared by case; safe from any thread.
class ParakeetEncoderPrecision {
 public:
  enum class Case : std::uint8_t { int8, int8V2, int4 };
  using enum Case;

  constexpr ParakeetEncoderPrecision(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("int8", "int8-v2", "int4"), or none.
  static std::optional<ParakeetEncoderPrecision> fromRawValue(std::string_view rawValue);

  // The three cases in order. The span refers to static storage.
  static std::span<const ParakeetEncoderPrecision> allCases();

  std::string_view rawValue() const;

  // "Encoder.mlmodelc", "Encoder_v2.mlmodelc" or "EncoderInt4.mlmodelc".
  std::string_view encoderFileName() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
