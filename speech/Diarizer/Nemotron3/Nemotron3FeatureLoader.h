#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "speech/Diarizer/Nemotron3/Nemotron3ChunkWindow.h"

namespace tesselaudio {

struct Nemotron3Config;

// Walks the log-mel features of a whole buffer, computed beforehand, window by window: each core
// of chunkLen encoder frames with the left and right context that exists around it. A plain
// value, used once front to back by one caller.
//
//   Nemotron3FeatureLoader loader(config, features, melLength, frameTotal);
//   while (auto window = loader.next()) { ... window->features ... }
struct Nemotron3FeatureLoader {
  std::int64_t lcMel = 0;
  std::int64_t rcMel = 0;
  std::int64_t coreMel = 0;
  std::int64_t melFeatures = 0;
  std::int64_t capacityMel = 0;
  // Frame-major, melFeatures values per frame.
  std::vector<float> featSeq;
  // Valid frames in featSeq.
  std::int64_t featLength = 0;
  // Frames stored in featSeq (>= featLength).
  std::int64_t featSeqLength = 0;
  // First frame of the next core.
  std::int64_t startFeat = 0;

  Nemotron3FeatureLoader(const Nemotron3Config& config, std::vector<float> featSeq, std::int64_t featLength,
                         std::int64_t featSeqLength);

  // The next window, or none once the core has passed featLength. A featSeq holding fewer than
  // featLength frames gives windows whose missing frames read as zeros; nothing is read past it.
  std::optional<Nemotron3ChunkWindow> next();
};

}  // namespace tesselaudio
