#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/Shared/AudioMelSpectrogram.h"
#include "speech/Shared/Repo.h"

namespace platform {
class MLMultiArray;
}

namespace tesselaudio {

// One of the published chunk lengths of the English streaming Nemotron model, in milliseconds.
class NemotronChunkSize {
 public:
  enum Value : std::int64_t { ms2240 = 2240, ms1120 = 1120, ms560 = 560 };

  constexpr NemotronChunkSize(Value value) : value_(value) {}  // NOLINT(google-explicit-constructor)
  // None for any other value.
  static std::optional<NemotronChunkSize> fromRawValue(std::int64_t rawValue);
  static const std::vector<NemotronChunkSize>& allCases();

  std::int64_t rawValue() const { return value_; }
  Repo repo() const;
  // "nemotron_coreml_<ms>ms", the hub folder of the size.
  std::string subdirectory() const;

  bool operator==(const NemotronChunkSize&) const = default;

 private:
  Value value_;
};

// The streaming geometry of the model, as its "metadata.json" states it.
struct NemotronStreamingConfig {
  std::int64_t sampleRate = 16000;
  std::int64_t melFeatures = 128;
  std::int64_t chunkMelFrames = 224;
  std::int64_t chunkMs = 2240;
  std::int64_t preEncodeCache = 9;
  std::int64_t totalMelFrames = 233;
  std::int64_t vocabSize = 1024;
  std::int64_t blankIdx = 1024;
  std::int64_t encoderDim = 1024;
  std::int64_t decoderHidden = 640;
  std::int64_t decoderLayers = 2;
  std::vector<std::int64_t> cacheChannelShape{1, 24, 70, 1024};
  std::vector<std::int64_t> cacheTimeShape{1, 24, 1024, 8};

  // The 2240 ms geometry.
  NemotronStreamingConfig() = default;
  // Reads one "metadata.json". Missing keys and values of another type take the 1120 ms defaults.
  // Throws the file's read or parse error, ASRError(processingFailed) "Invalid metadata.json
  // format" for a top level that is no object, and ASRError(processingFailed) for values the
  // pipeline cannot work with (sizes below 1, shape dimensions below 1, fewer total frames than
  // cached ones, a blank id outside int32).
  explicit NemotronStreamingConfig(const std::filesystem::path& from);

  // 10 ms of 16 kHz audio per mel frame.
  std::int64_t chunkSamples() const { return chunkMelFrames * 160; }

  bool operator==(const NemotronStreamingConfig&) const = default;
};

// Log-mel features of one chunk as the encoder takes them: float32 [1, nMels, T], band-major.
struct NemotronMelExtractor {
  std::shared_ptr<AudioMelSpectrogram> mel;
  std::int64_t nMels = 128;
  std::int64_t hopLength = 160;

  // The English recogniser's front end: 16 kHz, FFT 512, hop 160, symmetric Hann of 400, Slaney
  // mel 0 to 8 kHz, pre-emphasis 0.97, additive log guard 2^-24.
  static NemotronMelExtractor english(std::int64_t nMels);

  // Center-padded: (samples + 112) / 160 + 1 frames.
  std::shared_ptr<platform::MLMultiArray> melSpectrogram(const std::vector<float>& samples) const;
};

}  // namespace tesselaudio
