#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tesselaudio {

// Where the PocketTTS models run, which chooses their files: the GPU models, the Neural Engine
// variants, or the one stateful Neural Engine model.
// A plain value, compared by case; safe from any thread.
class PocketTtsModelPlacement {
 public:
  enum class Case : std::uint8_t { gpu, ane, aneState };
  using enum Case;

  constexpr PocketTtsModelPlacement(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("gpu", "ane", "ane-state"), or none.
  static std::optional<PocketTtsModelPlacement> fromRawValue(std::string_view rawValue);

  std::string_view rawValue() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
