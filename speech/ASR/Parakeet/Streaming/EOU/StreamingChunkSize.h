#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "speech/Shared/Repo.h"

namespace tesselaudio {

// The window geometry of the end-of-utterance streaming model, one model folder per case. Sample
// counts are at 16 kHz. Windows overlap by chunkSamples() - shiftSamples(): 1,280 samples for
// ms160, 4,960 for ms320, none for ms1280. A plain value, compared and hashed by case; safe from
// any thread.
//
//   StreamingChunkSize size = StreamingChunkSize::ms320;
//   auto window = std::span(samples).first(size.chunkSamples());
class StreamingChunkSize {
 public:
  enum class Case : std::uint8_t { ms160, ms320, ms1280 };
  using enum Case;

  constexpr StreamingChunkSize(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The three cases in declaration order. The span refers to static storage.
  static std::span<const StreamingChunkSize> allCases();

  // Length of one window in ms: 160, 630 (not 320) and 1280.
  std::int64_t durationMs() const;
  // Samples in one window: 2,560, 10,080, 20,480.
  std::int64_t chunkSamples() const;
  // Mel frames of one window: 17, 64, 129.
  std::int64_t melFrames() const;
  // Samples the stream advances per window: 1,280, 5,120, 20,480.
  std::int64_t shiftSamples() const;
  // Encoder frames decoded per window: 2, 4, 16.
  std::int64_t validOutputLen() const;
  // Mel frames held in the pre-encode cache: 16, 9, 16.
  std::int64_t preCacheSize() const;
  // "160ms", "320ms", "1280ms".
  std::string_view modelSubdirectory() const;
  // The hub repository of the case (parakeetEou160, 320, 1280).
  Repo repo() const;

 private:
  Case value_;
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::StreamingChunkSize> {
  std::size_t operator()(tesselaudio::StreamingChunkSize size) const noexcept {
    return std::hash<tesselaudio::StreamingChunkSize::Case>()(size);
  }
};
