#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tesselaudio {

// The one configuration of the Nemotron 3 streaming diarizer: the model geometry (eight speaker
// slots, 512-wide encoder-frame embeddings, 8 mel frames of 128 bands per encoder frame), the chunk
// window (new frames with left and right context, in 80 ms encoder frames), the speaker cache and
// FIFO capacities, the constants of the cache compression and the model file. A plain value; safe
// to copy and to read from any thread.
//
// The batch recognisers run the offline preset; streaming callers pick one by name:
//
//   Nemotron3Config config = Nemotron3Config::offline();
//   auto low = Nemotron3Config::preset("fast-int8");   // fast, with its int8 model file
struct Nemotron3Config {
  // The eight chunk values as given; every other field keeps its declared default.
  Nemotron3Config(std::int64_t chunkLen, std::int64_t chunkLeftContext, std::int64_t chunkRightContext,
                  std::int64_t fifoLen, std::int64_t spkcacheLen, std::int64_t spkcacheUpdatePeriod,
                  std::string modelFileName, bool splitGraph = false);

  // Fixed by the model: not meant to change after construction.
  std::int64_t numSpeakers = 8;
  std::int64_t preEncoderDims = 512;
  std::int64_t subsamplingFactor = 8;
  std::int64_t melFeatures = 128;
  std::int64_t sampleRate = 16000;
  std::int64_t upsampleFactor = 8;

  // Encoder frames of new audio per chunk, and of context before and after it.
  std::int64_t chunkLen = 0;
  std::int64_t chunkLeftContext = 0;
  std::int64_t chunkRightContext = 0;
  std::int64_t fifoLen = 0;
  std::int64_t spkcacheLen = 0;
  // Least number of frames moved from the FIFO into the speaker cache when the FIFO overflows.
  std::int64_t spkcacheUpdatePeriod = 0;
  // Carried with the configuration; nothing reads it.
  float silenceThreshold = 0.2f;
  // Lower clip of probabilities before the logarithms of the compression scores.
  float predScoreThreshold = 0.25f;
  float scoresBoostLatest = 0.05f;
  float strongBoostRate = 0.75f;
  float weakBoostRate = 1.5f;
  float minPosScoresRate = 0.5f;
  std::int64_t spkcacheSilFramesPerSpk = 1;
  // Marks an empty cache slot during compression (fixed).
  std::int64_t maxIndex = 99999;
  // Carried with the configuration; nothing reads it.
  bool debugMode = false;
  // The compiled model's folder name inside the hub subfolder ("Nemotron3Diarizer_offline.mlmodelc").
  std::string modelFileName;
  // The model takes one packed sequence of cache, FIFO and chunk embeddings (see Nemotron3Models).
  bool splitGraph = false;

  bool operator==(const Nemotron3Config&) const = default;

  // chunkLen + chunkLeftContext + chunkRightContext: encoder frames of one model input chunk.
  std::int64_t chunkEncFrames() const;
  // chunkEncFrames() × subsamplingFactor.
  std::int64_t chunkMelFrames() const;
  // fifoLen + spkcacheLen + chunkEncFrames(): rows of the split graph's packed sequence.
  std::int64_t packedFrames() const;
  // "split" for a split graph, "monolithic/v2" otherwise: the hub folder of the model file.
  std::string hubSubdirectory() const;
  // One high-resolution output frame: 0.01 s.
  float outputFrameSeconds() const;
  // chunkLen × subsamplingFactor × 0.01 s.
  double chunkSeconds() const;
  // (chunkLen + chunkRightContext) × subsamplingFactor × 0.01 s.
  double latencySeconds() const;

  // The presets, built once on first use and returned by value.
  static Nemotron3Config offline();
  static Nemotron3Config low();
  static Nemotron3Config veryLow();
  static Nemotron3Config ultraLow();
  static Nemotron3Config fast();
  static Nemotron3Config efficient();
  static Nemotron3Config fast24();
  static Nemotron3Config fast32();
  static Nemotron3Config fast128();

  // The configuration for a preset name ("offline", "low", "verylow", "ultra", "fast", "fast24",
  // "fast32", "fast128", "efficient", "fast32-split", "fast32-split-w8a8", "c128-split",
  // "c128-split-w8a8", "c192-split", "c256-split"; exact, case-sensitive), each trailing "-int8"
  // turning every ".mlmodelc" of the model file into "_int8.mlmodelc". None for any other name.
  static std::optional<Nemotron3Config> preset(std::string_view named);
};

}  // namespace tesselaudio
