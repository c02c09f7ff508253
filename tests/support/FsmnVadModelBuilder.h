#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the two FSMN voice-activity networks, under their real names.
//
// The preprocessor "FsmnVadPreprocessor" is the frame-mean preprocessor: "waveform" f32 [1, n] →
// "features" f32 [1, ⌊n ÷ 160⌋, 400], each frame the mean of its samples. The scorer "FsmnVad" reads
// "feats" f32 [1, B, 400] and gives "scores" [1, B, 2] = (feats[:, :, 0], 1 − feats[:, :, 0]). So
// samples of value p / 32768 give frames whose silence probability is p.
namespace testsupport {

ModelBuilder fsmnVadPreprocessor();

// A preprocessor whose "features" are [1, frames, 400] for any non-empty waveform (the first sample,
// repeated).
ModelBuilder fsmnVadFixedFramesPreprocessor(std::int64_t frames);

struct FsmnVadScorerOptions {
  std::string outputName = "scores";
  ElementType outputType = ElementType::float32;
  // When set, "feats" accepts only [1, B, 400] for these B.
  std::vector<std::int64_t> acceptedFrames;
  // When set, "scores" holds only the first `rows` frames.
  std::optional<std::int64_t> rows;
};

ModelBuilder fsmnVadScorer(const FsmnVadScorerOptions& options = {});

}  // namespace testsupport
