#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace tesselaudio {

// The fixed constants of the SenseVoice recogniser: a preprocessor turning samples into feature
// frames and a CTC encoder that writes four query positions before the speech frames. Plain
// constants; safe from any thread.
namespace SenseVoiceConfig {

// Values per feature frame.
inline constexpr int featureDim = 560;
// Frame counts the encoder input is padded to when the encoder declares none.
inline constexpr std::array<int, 5> buckets = {128, 256, 512, 1024, 1800};
// Query positions the encoder puts before the speech frames (language, emotion, event, text norm).
inline constexpr int numQueryTokens = 4;
inline constexpr int blankId = 0;
inline constexpr std::int32_t defaultLanguage = 0;
inline constexpr std::int32_t defaultTextNorm = 15;
inline constexpr int sampleRate = 16000;
// Factor applied to each sample before the preprocessor.
inline constexpr float waveformScale = 32768.0f;
// The longest of `buckets`.
inline constexpr int maxFrames = buckets.back();

// The first of `buckets` that is at least `forFrames`, else maxFrames.
int pickBucket(int forFrames);

}  // namespace SenseVoiceConfig

// The weight precision of the SenseVoice encoder; it chooses the encoder's file and compute units.
// A plain value, compared and hashed by case; safe from any thread.
class SenseVoiceEncoderPrecision {
 public:
  enum class Case : std::uint8_t { fp16, int8, fp32 };
  using enum Case;

  constexpr SenseVoiceEncoderPrecision(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("fp16", "int8", "fp32"), or none.
  static std::optional<SenseVoiceEncoderPrecision> fromRawValue(std::string_view rawValue);

  std::string_view rawValue() const;
  // "SenseVoiceSmall", "SenseVoiceSmall_int8" or "SenseVoiceSmall_fp32".
  std::string_view encoderName() const;

 private:
  Case value_;
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::SenseVoiceEncoderPrecision> {
  std::size_t operator()(tesselaudio::SenseVoiceEncoderPrecision precision) const noexcept {
    return static_cast<std::size_t>(static_cast<tesselaudio::SenseVoiceEncoderPrecision::Case>(precision));
  }
};
