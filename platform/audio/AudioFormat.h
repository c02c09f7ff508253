#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct AudioStreamBasicDescription;

// The sample types a PCM buffer can hold. `otherFormat` stands for anything else (a compressed or
// unusual stream layout), which buffers keep only as raw bytes.
enum class CommonFormat { otherFormat, pcmFormatFloat32, pcmFormatFloat64, pcmFormatInt16, pcmFormatInt32 };

// A PCM audio format: sample type, sample rate, channel count and whether the channels share one
// interleaved block or each have their own plane. A value; safe to copy and share between threads.
class AudioFormat {
 public:
  // Returns the format, or nothing when the values are refused: a rate that is not positive and
  // finite, no channels, or `otherFormat`.
  static std::optional<AudioFormat> make(CommonFormat commonFormat, double sampleRate,
                                         std::uint32_t channelCount, bool interleaved);

  // The format of a linear PCM stream description: 32- or 64-bit floats, 16- or 32-bit signed
  // integers, native byte order. Nothing for any other stream, a rate that is not positive and
  // finite, or no channels.
  static std::optional<AudioFormat> make(const AudioStreamBasicDescription& description);

  // 32-bit float, non-interleaved: the form every decoder and encoder of this layer speaks.
  // REQUIRES: sampleRate positive and finite, channelCount > 0.
  static AudioFormat float32(double sampleRate, std::uint32_t channelCount);

  CommonFormat commonFormat() const { return commonFormat_; }
  double sampleRate() const { return sampleRate_; }
  std::uint32_t channelCount() const { return channelCount_; }
  // A single channel counts as non-interleaved whatever it was made with: its one plane is both.
  bool isInterleaved() const { return interleaved_ && channelCount_ > 1; }

  // Bytes of one sample of one channel.
  std::uint32_t bytesPerSample() const;

  // For example "<AudioFormat 48000 Hz, 1 ch, Float32, deinterleaved>".
  std::string description() const;

  bool operator==(const AudioFormat& other) const;

 private:
  AudioFormat(CommonFormat commonFormat, double sampleRate, std::uint32_t channelCount,
              bool interleaved);

  CommonFormat commonFormat_;
  double sampleRate_;
  std::uint32_t channelCount_;
  bool interleaved_;
};

}  // namespace platform
