#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tesselaudio {

// The weight precision of the Canary encoder and decoder; it chooses their model files, and its
// raw value is the variant word of the Canary model download.
// A plain value, compared by case; safe from any thread.
class CanaryPrecision {
 public:
  enum class Case : std::uint8_t { int4, fp16, int8 };
  using enum Case;

  constexpr CanaryPrecision(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("int4", "fp16", "int8"), or none.
  static std::optional<CanaryPrecision> fromRawValue(std::string_view rawValue);

  // The three cases in order. The span refers to static storage.
  static std::span<const CanaryPrecision> allCases();

  std::string_view rawValue() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
