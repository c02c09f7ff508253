#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tesselaudio {

// The LocalVQE model generation (and size) that removes echo and noise.
// A plain value, compared by case; safe from any thread.
class LocalVqeVariant {
 public:
  enum class Case : std::uint8_t { v13, v12 };
  using enum Case;

  constexpr LocalVqeVariant(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // Both cases in order, newest first. The span refers to static storage.
  static std::span<const LocalVqeVariant> allCases();

  // "v1.3" or "v1.2".
  std::string_view rawValue() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
