#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the chunked diarizer's two models, built in code with the real contracts:
// segmentation "pyannote_segmentation" (input "audio" [1, 1, 160000], output "segments"
// [1, 589, 7]) and embedding "wespeaker_v2" (inputs "waveform" [3, 160000] and "mask" [3, F],
// output "embedding" [1, 256]). Their outputs echo chosen input values, so that a test writes the
// scores it wants into the audio and reads back exactly what a caller fed the model.
namespace testsupport {

inline constexpr std::int64_t kDiarizerChunkSamples = 160000;
inline constexpr std::int64_t kSegmentationFrames = 589;
inline constexpr std::int64_t kSegmentationClasses = 7;
inline constexpr std::int64_t kSamplesPerFrame = 270;
inline constexpr std::int64_t kVoiceBlockSamples = 80000;

// "pyannote_segmentation": its output `outputName` is the audio's values from sample `offset` on,
// as many as `outputShape` holds, reshaped to it (frame after frame, class after class).
// REQUIRES: offset plus the output's element count is at most 160,000.
ModelBuilder echoSegmentationModel(std::int64_t offset,
                                   std::vector<std::int64_t> outputShape = {1, kSegmentationFrames,
                                                                            kSegmentationClasses},
                                   const std::string& outputName = "segments");

// "wespeaker_v2" with masks of any length F: its output `outputName` [1, outputLength] is the
// waveform at `waveformPositions` (counted through its rows: 160,000 is row 1's first sample),
// then mask row 0 at `maskPositions`, then zeros.
// REQUIRES: the positions number at most outputLength; mask positions lie below F at run time.
ModelBuilder probeEmbeddingModel(std::vector<std::int64_t> waveformPositions,
                                 std::vector<std::int64_t> maskPositions,
                                 std::int64_t outputLength = 256,
                                 const std::string& outputName = "embedding");

// "pyannote_segmentation" that hears levels: the first 589 × 270 samples of "audio", averaged per
// frame of 270 samples, give a level m per frame, and "segments" = m·(0, 10, -10, 0, 0, 0, 0) +
// (0.5, 0, 0, -1, -1, -1, -1). A frame at +0.5 decodes to local speaker 0, at -0.5 to local speaker
// 1, at 0 to nobody. With `declaresSegmentsShape` false the file declares "segments" without a
// shape.
ModelBuilder dcSegmentationModel(bool declaresSegmentsShape = true);

// "wespeaker_v2" that embeds levels: the per-frame levels of waveform row 0 (as above), averaged
// with the weights of mask row 0, times (1, 0, ..., 0): 256 values. Opposite levels give opposite
// embeddings (cosine distance 2).
// REQUIRES: masks of 589 frames at run time.
ModelBuilder levelEmbeddingModel();

// Two voices for the two models above: 16 kHz audio of 5 s blocks alternating +0.5 (the first
// voice) and -0.5 (the second), `seconds` long (rounded down to whole samples).
std::vector<float> alternatingVoices(double seconds);

// The same names, inputs and outputs, but every prediction fails (a reshape to an impossible
// shape): a call that succeeds with one of them ran no prediction.
ModelBuilder failingSegmentationModel();
ModelBuilder failingEmbeddingModel();

}  // namespace testsupport
