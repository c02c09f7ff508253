#pragma once

#include <map>
#include <string>
#include <vector>

namespace platform {
class MLMultiArray;
}

// Turning CTC model output into text. A vocabulary maps token ids to sentencepiece pieces; a piece
// that begins a word starts with U+2581 ("▁"). A log-probability matrix holds one row per frame in
// time order and one score per token id (any monotone score works: only the best per frame counts).
// Pure functions: synchronous, no state, safe from any thread, never throw on bad input.
//
//   std::string text = ctcGreedyDecode(logProbs, vocabulary, blankId);
namespace tesselaudio {

// The text of `tokenIds`: the pieces of the ids found in `vocabulary` joined with nothing between
// them (other ids are skipped), every "▁" turned into a space, and tabs and space separators trimmed
// from both ends. Inner runs of spaces and line breaks at the ends stay. Repeats and blanks are the
// caller's to remove.
std::string decodeCtcTokenIds(const std::vector<int>& tokenIds, const std::map<int, std::string>& vocabulary);

// Greedy CTC decoding: per frame the lowest index of the largest value (a frame holding no number
// above negative infinity gives its first number's index, a frame of NaN only gives 0; NaN never wins
// over a number), repeats collapsed, `blankId` dropped, the ids made text with decodeCtcTokenIds.
// A blank between two equal tokens keeps both; an empty frame is skipped and separates nothing.
std::string ctcGreedyDecode(const std::vector<std::vector<float>>& logProbs,
                            const std::map<int, std::string>& vocabulary, int blankId);

// The same over the first batch entry of an array of shape [batch, frames, vocabulary] of any element
// type and strides; decodes exactly like the matrix of its values read as floats. An array of any
// other rank gives the empty string.
std::string ctcGreedyDecode(const platform::MLMultiArray& logProbs, const std::map<int, std::string>& vocabulary,
                            int blankId);

}  // namespace tesselaudio
