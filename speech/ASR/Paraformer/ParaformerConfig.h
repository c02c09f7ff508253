#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tesselaudio {

// The fixed constants of the Paraformer pipeline: preprocessor, encoder, integrate-and-fire weights
// and a decoder that predicts every token at once. Plain constants; safe from any thread.
namespace ParaformerConfig {

// Values per feature frame (the encoder's input width).
inline constexpr int featureDim = 560;
// Values per encoder output frame and per token embedding.
inline constexpr int encoderDim = 512;
// Frame counts the encoder input is padded to.
inline constexpr std::array<int, 5> encoderBuckets = {128, 256, 512, 1024, 1800};
// Encoder frames the decoder input always holds; longer audio is cut to this.
inline constexpr int decoderEncFrames = 512;
// Token embeddings the decoder input always holds.
inline constexpr int decoderMaxTokens = 128;
inline constexpr int blankId = 0;
inline constexpr int sosId = 1;
inline constexpr int eosId = 2;
// Weight at which the integrate-and-fire emits a token.
inline constexpr float cifThreshold = 1.0f;
// Weight added after the last frame.
inline constexpr float cifTailThreshold = 0.45f;
inline constexpr int sampleRate = 16000;
// Factor applied to each sample before the preprocessor.
inline constexpr float waveformScale = 32768.0f;

// The first of encoderBuckets that is at least `forFrames`, else 1800.
int pickEncoderBucket(int forFrames);

}  // namespace ParaformerConfig

// The weight precision of the Paraformer encoder and decoder; it chooses their model files.
// A plain value, compared and hashed by case; safe from any thread.
class ParaformerPrecision {
 public:
  enum class Case : std::uint8_t { fp16, int8 };
  using enum Case;

  constexpr ParaformerPrecision(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("fp16", "int8"), or none.
  static std::optional<ParaformerPrecision> fromRawValue(std::string_view rawValue);

  std::string_view rawValue() const;
  // "ParaformerEncoder" or "ParaformerEncoder_int8".
  std::string_view encoderName() const;
  // "ParaformerDecoder" or "ParaformerDecoder_int8".
  std::string_view decoderName() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
