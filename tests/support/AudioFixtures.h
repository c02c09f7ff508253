#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/PcmBuffer.h"

// Signals, buffers and files for audio tests, all through the real audio layer.
namespace testsupport {

using Channels = std::vector<std::vector<float>>;

// `frames` samples of a sine of `frequency` Hz at `sampleRate`.
std::vector<float> sine(double frequency, double sampleRate, std::size_t frames,
                        float amplitude = 0.5f);

// `frames` samples of a sweep from `from` to `to` Hz at `sampleRate`: unlike a steady tone, it
// matches itself at one offset only.
std::vector<float> chirp(double from, double to, double sampleRate, std::size_t frames,
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

// Writes `samples` (48 kHz mono) as a recording in the crash-safe form and copies the file to
// `path` while the writer is still open, after the last sample was handed to it: what a process
// killed at that moment leaves behind.
void writeCutOffRecording(const std::filesystem::path& path, const std::vector<float>& samples);

// One top-level box of an MPEG-4 file.
struct Box {
  std::string type;  // "ftyp", "moov", ...
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The top-level boxes of the MPEG-4 file at `path`, in order.
std::vector<Box> topLevelBoxes(const std::filesystem::path& path);

// Their types, blank-separated, without 'free' boxes: "ftyp moov mdat".
std::string topLevelBoxTypes(const std::filesystem::path& path);

// The major brand of the MPEG-4 file at `path` (its 'ftyp' box), or "" without one.
std::string majorBrand(const std::filesystem::path& path);

// Pearson correlation of `count` samples of `a` from `aBegin` with those of `b` from `bBegin`.
double correlation(const std::vector<float>& a, std::size_t aBegin, const std::vector<float>& b,
                   std::size_t bBegin, std::size_t count);

// The offset into `decoded` (0 to `maxLag`) at which it best matches the start of `source`: the
// samples a decoder plays before the source's first one.
std::size_t leadingOffset(const std::vector<float>& decoded, const std::vector<float>& source,
                          std::size_t maxLag = 4096);

// Root mean square of samples [begin, end).
double rms(const std::vector<float>& samples, std::size_t begin, std::size_t end);

}  // namespace testsupport
