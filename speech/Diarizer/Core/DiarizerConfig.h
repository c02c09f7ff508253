#pragma once

#include <cstdint>

namespace tesselaudio {

// Tuning of the chunked segmentation-and-embedding diarizer. A plain value; the defaults are the
// preset default_().
//
//   DiarizerConfig config = DiarizerConfig::default_();
//   config.clusteringThreshold = 0.6f;
//   config.debugMode = true;
struct DiarizerConfig {
  // Base cosine-distance threshold: speakers match below 1.2 times it, and an embedding updates
  // its speaker below 0.8 times it.
  float clusteringThreshold = 0.7f;
  // Seconds: the shortest speech that may create a new speaker, and the shortest segment reported.
  float minSpeechDuration = 1.0f;
  // Seconds; handed on to the speaker database.
  float minEmbeddingUpdateDuration = 2.0f;
  // Seconds; carried for callers, not read by the diarizer.
  float minSilenceGap = 0.5f;
  // Carried for callers (-1: not fixed), not read by the diarizer.
  std::int64_t numClusters = -1;
  // A local speaker's summed activity in a chunk must reach this before it is embedded.
  float minActiveFramesCount = 10.0f;
  // When set, the result carries the speaker database and the stage timings.
  bool debugMode = false;
  // Seconds per chunk, rounded to whole seconds before use.
  float chunkDuration = 10.0f;
  // Seconds of overlap between chunks, rounded to whole seconds before use.
  float chunkOverlap = 0.0f;
  // When set, the result carries one ChunkEmbedding per chunk and local speaker.
  bool exposeChunkEmbeddings = false;

  // The defaults above.
  static DiarizerConfig default_();

  bool operator==(const DiarizerConfig&) const = default;
};

}  // namespace tesselaudio
