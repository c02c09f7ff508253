#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tesselaudio {

// How much audio one LocalVQE prediction consumes: 16 ms for live use, 256 ms for whole signals.
// Every LocalVQE model file is built for one chunk length.
// A plain value, compared by case; safe from any thread.
class LocalVqeChunk {
 public:
  enum class Case : std::uint8_t { realtime16ms, batch256ms };
  using enum Case;

  constexpr LocalVqeChunk(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // Both cases in order. The span refers to static storage.
  static std::span<const LocalVqeChunk> allCases();

  // "16ms" or "256ms".
  std::string_view rawValue() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
