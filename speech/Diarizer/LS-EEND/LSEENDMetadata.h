#pragma once

// The configuration an LS-EEND model carries in its metadata, under the creator-defined key
// "config": one JSON object with sixteen members, all whole numbers but frame_duration_seconds:
//
//   {"chunk_size": 10, "frame_duration_seconds": 0.1, "max_speakers": 4, "sample_rate": 8000,
//    "max_nspks": 4, "hop_length": 80, "win_length": 200, "n_mels": 23, "context_size": 7,
//    "subsampling": 10, "conv_delay": 9, "n_units": 256, "n_heads": 4, "enc_n_layers": 4,
//    "dec_n_layers": 2, "conv_kernel_size": 3}
//
// Keys are read snake_case ("enc_n_layers") or as the field names ("encNLayers"); every member is
// required. Written back, the keys are the field names in declaration order.

#include <cstdint>
#include <string>
#include <string_view>

namespace tesselaudio {

// The sizes every LS-EEND array, queue and timeline is derived from. A value.
struct LSEENDMetadata {
  std::int64_t chunkSize = 0;        // output frames per model call; rows of "probs"
  float frameDurationSeconds = 0;    // seconds per output frame
  std::int64_t maxSpeakers = 0;      // speaker columns of "probs"
  std::int64_t sampleRate = 0;       // Hz of the audio the features come from
  std::int64_t maxNspks = 0;         // second dimension of the decoder's key-value cache
  std::int64_t hopLength = 0;        // STFT hop in samples
  std::int64_t winLength = 0;        // STFT window in samples (periodic Hann)
  std::int64_t nMels = 0;            // mel bands per feature frame
  std::int64_t contextSize = 0;      // feature frames of context on each side of a chunk
  std::int64_t subsampling = 0;      // feature frames per output frame
  std::int64_t convDelay = 0;        // output frames by which the output lags the input
  std::int64_t nUnits = 0;           // model width
  std::int64_t nHeads = 0;           // retention heads
  std::int64_t encNLayers = 0;       // encoder layers
  std::int64_t decNLayers = 0;       // decoder layers
  std::int64_t convKernelSize = 0;   // length of the encoder's convolution cache

  // Feature frames in one model input: (chunkSize - 1) x subsampling + 2 x contextSize + 1.
  std::int64_t melFrames() const;
  // The smallest power of two that is at least winLength (1 for a winLength of 1 or less).
  std::int64_t nFFT() const;
  // nUnits / nHeads, truncated (0 when nHeads is 0).
  std::int64_t headDim() const;

  // Decodes the "config" text. Throws platform::JsonCodingError: dataCorrupted for text that is no
  // JSON object, keyNotFound naming the first missing member, typeMismatch for a member that is no
  // number or, for the whole-number members, no whole number within 64 bits.
  static LSEENDMetadata fromJSON(std::string_view text);
  // The sixteen field names with their values, in declaration order.
  std::string toJSON() const;

  // Throws LSEENDError::initializationFailed naming the field when no state, input or feature
  // provider can be built from these values: a negative value; nHeads, nMels, chunkSize,
  // subsampling, hopLength, winLength, sampleRate or maxSpeakers below 1; subsampling above
  // contextSize + 1; a front-end size beyond what the mel spectrogram takes; or an array, queue or
  // buffer size that does not fit 64 bits.
  void checkLimits() const;

  bool operator==(const LSEENDMetadata&) const = default;
};

}  // namespace tesselaudio
