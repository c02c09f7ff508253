#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/audio/PcmBuffer.h"

// Signals, buffers and files for audio tests, all through the real audio layer.
namespace testsupport {

using Channels = std::vector<std::vector<float>>;

// `frames` samples of a sine of `frequency` Hz at `sampleRate`.
std::vector<float> sine(double frequency, double sampleRate, std::size_t frames,
                        float amplitude = 0.5f);

// `frames` samples of silence with one sample of `amplitude` at `at`.
std::vector<float> click(std::size_t frames, std::size_t at, float amplitude = 0.9f);

// `seconds` of silence at `sampleRate` with a 440 Hz burst of `burstSeconds` (amplitude 0.3)
// beginning at each of `starts` (seconds).
std::vector<float> bursts(double sampleRate, double seconds, const std::vector<double>& starts,
                          double burstSeconds = 0.6);

// A 32-bit float, non-interleaved buffer holding `channels` (all of one length).
std::unique_ptr<platform::PcmBuffer> floatBuffer(double sampleRate, const Channels& channels);

// Writes `channels` at `sampleRate` as AAC into `path` (container from the extension).
void writeAac(const std::filesystem::path& path, double sampleRate, const Channels& channels,
              std::int64_t bitRate = 128000);

// Writes `channels` at `sampleRate` into `path` with FFmpeg's encoder `encoder` (for example
// "pcm_s16le", "libmp3lame", "flac", "libvorbis"), container from the extension.
void writeEncoded(const std::filesystem::path& path, double sampleRate, const Channels& channels,
                  const char* encoder, std::int64_t bitRate = 128000);

// A whole file decoded through platform::AudioFile.
struct DecodedAudio {
  double sampleRate = 0;
  std::int64_t length = 0;
  Channels channels;
};
DecodedAudio readAudioFile(const std::filesystem::path& path);

// The index of the sample with the largest magnitude.
std::size_t peakIndex(const std::vector<float>& samples);

// Magnitude of the `frequency` component of `samples` at `sampleRate` (Goertzel).
double toneMagnitude(const std::vector<float>& samples, double frequency, double sampleRate);

// Copies the MPEG-4 file `from` to `to` with its index (moov) ahead of the audio, as streaming
// writers lay files out; cutting such a file short keeps it openable.
void remuxIndexFirst(const std::filesystem::path& from, const std::filesystem::path& to);

// Root mean square of samples [begin, end).
double rms(const std::vector<float>& samples, std::size_t begin, std::size_t end);

}  // namespace testsupport
