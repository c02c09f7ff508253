#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "speech/Diarizer/Offline/Core/SegmentationOutput.h"
#include "speech/Diarizer/Offline/Extraction/TimedEmbedding.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// The first stage of an offline diarization, ready to be clustered (possibly more than once): the
// prepared source, its whole segmentation, the timed embeddings and the stage's timings. A value;
// copies share the source, which is safe to read from any thread.
struct PreparedDiarization {
  // Read again by the clustering stage to re-embed stretches no cluster voted for.
  std::shared_ptr<const AudioSampleSource> audioSource;
  SegmentationOutput segmentation;
  // One per embedded (window, local speaker) pair, in the extractor's order.
  std::vector<TimedEmbedding> timedEmbeddings;
  double audioLoadingSeconds = 0;
  // Wall time of the segmentation worker.
  double segmentationSeconds = 0;
  // Wall time of the embedding worker.
  double embeddingExtractionSeconds = 0;
  // Wall time of the whole stage after model preparation.
  double prepareWallSeconds = 0;

  std::int64_t embeddingCount() const { return static_cast<std::int64_t>(timedEmbeddings.size()); }
  std::int64_t segmentationChunkCount() const { return segmentation.numChunks; }
};

}  // namespace tesselaudio
