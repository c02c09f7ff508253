#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tesselaudio {

// How much speech one Chatterbox Nano call can produce: it chooses the flow model and the vocoder
// ("FlowMean-N500" and "HiFT-T1000" for standard, twice the sizes for extended).
// A plain value, compared by case; safe from any thread.
class ChatterboxNanoOutputCapacity {
 public:
  enum class Case : std::uint8_t { standard, extended };
  using enum Case;

  constexpr ChatterboxNanoOutputCapacity(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("standard", "extended"), or none.
  static std::optional<ChatterboxNanoOutputCapacity> fromRawValue(std::string_view rawValue);

  // Both cases in order. The span refers to static storage.
  static std::span<const ChatterboxNanoOutputCapacity> allCases();

  std::string_view rawValue() const;

  // The token count in the flow model's name: 500 or 1000.
  int flowTokenBucket() const;

  // The frame count in the vocoder's name: 1000 or 2000.
  int melFrameBucket() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
