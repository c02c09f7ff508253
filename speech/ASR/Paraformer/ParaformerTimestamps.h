#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "speech/ASR/Paraformer/TimestampedSegment.h"

namespace platform {
class MLMultiArray;
}

namespace tesselaudio {

// Timing of the Paraformer pieces: the integrate-and-fire weights, upsampled to 20 ms steps, give
// one fire time per piece, and each piece is then placed on the nearest run of speech in the
// audio's energy envelope (10 ms frames), or after the previous piece where no run is found.
// Pieces ending in "@@" are joined with the next into one word. Library-internal; pure functions,
// safe from any thread.
namespace ParaformerTimestamps {

// Segments of the pieces of the first `tokenCount` logits rows (ids above 2 found in `vocabulary`
// with a non-empty piece), timed by `alphas` (one weight per encoder frame) and the 16 kHz
// `audio`. Empty when no piece counts or fewer than two fire times come out.
// Throws platform::InvalidArgumentError for logits of rank below 3.
// REQUIRES: tokenCount within the logits' rows.
std::vector<TimestampedSegment> decodeWithTimestamps(const platform::MLMultiArray& logits, int tokenCount,
                                                     const std::vector<float>& alphas, std::span<const float> audio,
                                                     const std::map<int, std::string>& vocabulary);

// The same from the pieces themselves.
std::vector<TimestampedSegment> segments(const std::vector<std::string>& pieces, const std::vector<float>& alphas,
                                         std::span<const float> audio);

// The fire times in seconds (20 ms steps) of `pieceCount` pieces: each weight repeated three times,
// then the tail weight, run through cifWoHiddenFireIndices; when that gives other than
// pieceCount + 1 fires, the weights are first rescaled to sum to pieceCount + 1.
std::vector<double> fireTimes(const std::vector<float>& alphas, std::size_t pieceCount);

// The indices at which a running sum of `alphas` reaches `threshold`; each fire takes 1.0 (not the
// threshold) off the sum, and one weight fires at most once.
std::vector<int> cifWoHiddenFireIndices(const std::vector<float>& alphas, float threshold);

// The root mean square of each full window of sampleRate × hopSec samples (at least 1), from the
// start; a trailing partial window is dropped. Empty when the audio is no longer than one window.
std::vector<float> energyEnvelope(std::span<const float> audio, int sampleRate, double hopSec);

// Each value replaced by the mean of itself and its neighbours within window / 2 positions (as far
// as they exist), all from the unsmoothed values; `values` unchanged when it has no more than
// `window` of them.
std::vector<float> smooth(const std::vector<float>& values, int window);

// The element at position Int(q × (n − 1)), kept within 0 … n − 1, of the values sorted in
// ascending order; 0 for no values.
float percentile(std::vector<float> values, double q);

}  // namespace ParaformerTimestamps
}  // namespace tesselaudio
