#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/audio/AudioFormat.h"
#include "speech/Shared/AppLogger.h"

namespace platform {
class PcmBuffer;
struct MediaSampleBuffer;
}  // namespace platform

namespace tesselaudio {

// Turns any audio an engine is handed (a file, a PCM buffer, a media sample buffer, or mono samples
// at some rate) into mono 32-bit float samples at the target rate, 16,000 Hz unless the owner asks
// for another. Sample-rate and channel conversion run through the platform converter in a pull loop
// over bounded chunks, so a long file is never decoded whole first; buffers of three or more
// channels are averaged and resampled linearly. The converter holds no state after construction:
// several threads may convert through one at once, and nothing carries over between calls. Every
// call fails with AudioConverterError or the error of the file layer; values are not clamped.
//
//   AudioConverter converter;                           // 16 kHz mono
//   std::vector<float> samples = converter.resampleAudioFile("meeting.m4a");
class AudioConverter {
 public:
  static constexpr std::uint32_t kSliceFrames = 1'048'576;

  // `targetFormat` absent: 32-bit float, mono, non-interleaved at 16,000 Hz. With `debug` each
  // conversion writes one debug line to the logger (category "AudioConverter").
  explicit AudioConverter(std::optional<platform::AudioFormat> targetFormat = std::nullopt,
                          bool debug = false);
  // 32-bit float, mono, non-interleaved at `sampleRate`.
  // REQUIRES: sampleRate positive and finite.
  AudioConverter(double sampleRate, bool debug);

  const platform::AudioFormat& targetFormat() const { return targetFormat_; }
  bool debug() const { return debug_; }

  // Decodes the file chunk by chunk (about one second each), makes each chunk mono and resamples
  // to the target rate. Throws platform::AudioError when the file cannot be opened or any read
  // fails (nothing partial is returned), or AudioConverterError.
  std::vector<float> resampleAudioFile(const std::filesystem::path& url) const;

  // Channel 0 as is when `buffer` is already in the target format, else convertBuffer() to it.
  std::vector<float> resampleBuffer(const platform::PcmBuffer& buffer) const;

  // `samples` (mono) at `sourceSampleRate` resampled to the target rate; the input itself when the
  // rates are equal or it is empty.
  // REQUIRES: sourceSampleRate positive and finite.
  std::vector<float> resample(std::vector<float> samples, double sourceSampleRate) const;

  // extractAVAudioPCMBuffer(), then convertBuffer() to the target format.
  std::vector<float> resampleSampleBuffer(const platform::MediaSampleBuffer& sampleBuffer) const;

  // A PCM buffer (owned by the caller) holding a copy of the sample buffer's audio in its own
  // format. Throws sampleBufferFormatMissing, failedToCreateSourceFormat, failedToCreateBuffer or
  // sampleBufferCopyFailed(status).
  std::unique_ptr<platform::PcmBuffer> extractAVAudioPCMBuffer(
      const platform::MediaSampleBuffer& sampleBuffer) const;

  // Converts `buffer` to `to` through output slices of at most `outputSliceFrames` frames and
  // returns channel 0 of the result; three or more channels take the linear fallback, which always
  // gives mono at the rate of `to`.
  std::vector<float> convertBuffer(const platform::PcmBuffer& buffer, const platform::AudioFormat& to,
                                   std::uint32_t outputSliceFrames) const;

 private:
  // Gives the next mono chunk, or nothing at the end; may throw.
  using NextChunk = std::function<std::optional<std::vector<float>>()>;

  bool isTargetFormat(const platform::AudioFormat& format) const;
  std::vector<float> linearResample(const platform::PcmBuffer& buffer,
                                    const platform::AudioFormat& to) const;
  std::vector<float> resampleWithAVAudio(const std::vector<float>& samples, double from, double to,
                                         std::uint32_t sliceFrames) const;
  std::vector<float> streamResample(double from, double to, std::int64_t expectedInputFrames,
                                    std::uint32_t maxChunkFrames, const NextChunk& nextChunk) const;
  void logDebug(const std::string& message) const;

  AppLogger logger_;
  platform::AudioFormat targetFormat_;
  bool debug_;
};

// Internal steps, free of the converter's state.
namespace detail {

// Channel 0 of `buffer`: frameLength values, empty without float planes or frames.
std::vector<float> extractFloatArray(const platform::PcmBuffer& buffer);

// `buffer` as mono at its own rate: channel 0 when it is already mono float, else down-mixed
// through the platform converter.
std::vector<float> extractMonoFloat32(const platform::PcmBuffer& buffer);

}  // namespace detail
}  // namespace tesselaudio
