#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tesselaudio {

struct SortformerConfig;

// Cuts the log-mel features of a whole recording into the chunks a Sortformer model takes: each
// core of chunkLen × subsamplingFactor mel frames with the left and right context that exists
// around it. The first chunk has no left context, the last none on the right and may have a
// short core. A plain value for one batch run; not for concurrent use.
//
//   SortformerFeatureLoader loader(SortformerConfig::balancedV2_1(), samples);
//   while (auto chunk = loader.next()) { ... chunk->chunkFeatures ... }
class SortformerFeatureLoader {
 public:
  // One chunk with its context, frame-major, melFeatures values per mel frame. The offsets are
  // the context present on each side, in mel frames.
  struct Chunk {
    std::vector<float> chunkFeatures;
    std::int64_t chunkLength = 0;
    std::int64_t leftOffset = 0;
    std::int64_t rightOffset = 0;

    bool operator==(const Chunk&) const = default;
  };

  // Computes the log-mel features of `audio` (16 kHz mono) at once, with the diarizer's own front
  // end whatever the configuration says about audio: FFT 512, hop 160, symmetric Hann window of
  // 400, 128 mel bins over 0 ... 8 kHz, pre-emphasis 0.97, log floor 2^-24 added, centred frames.
  SortformerFeatureLoader(const SortformerConfig& config, std::span<const float> audio);

  // Chunks the iterator yields in all: none for empty audio.
  std::int64_t numChunks() const { return numChunks_; }

  // The next chunk, or nothing once the features are exhausted.
  std::optional<Chunk> next();

 private:
  std::int64_t numChunks_ = 0;
  // Context and core in mel frames.
  std::int64_t lc_ = 0;
  std::int64_t rc_ = 0;
  std::int64_t chunkLen_ = 0;
  std::int64_t melFeatures_ = 0;
  std::vector<float> featSeq_;
  std::int64_t featLength_ = 0;
  std::int64_t featSeqLength_ = 0;
  std::int64_t startFeat_ = 0;
  std::int64_t endFeat_ = 0;
};

}  // namespace tesselaudio
