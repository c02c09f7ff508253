#pragma once

#include <map>
#include <string>
#include <vector>

namespace platform {
class MLMultiArray;
}

namespace tesselaudio {

struct ARPALanguageModel;

// CTC prefix beam search over natural-log probabilities, optionally guided by a word bigram model.
// Each frame expands every beam by the blank and by the `tokenCandidates` best tokens of the frame
// (lower ids first among equal scores), merges alignments of the same collapsed prefix, and keeps the
// `beamWidth` beams of highest acoustic-plus-language score. With `lm`, a word completes when a piece
// starting with "▁" follows it, and then adds `wordBonus` + `lmWeight` × lm->score(word, previous
// word); the last word is scored after the last frame. The best prefix becomes text through
// decodeCtcTokenIds.
//
// A frame narrower than the first scores -infinity for the ids it lacks, and a `blankId` outside a
// frame gives that frame's blank -infinity. Negative `beamWidth` or `tokenCandidates` count as 0.
// No frames, an empty first frame, a zero beam width or no candidates give the empty string; NaN
// scores travel through the arithmetic and rank below every number. Synchronous and stateless; safe
// from any thread, and several searches may share one `lm`, which is only borrowed for the call.
//
//   std::string text = ctcBeamSearch(logProbs, vocabulary, &lm, 8, 0.5F, 1.0F, blankId, 8);
std::string ctcBeamSearch(const std::vector<std::vector<float>>& logProbs,
                          const std::map<int, std::string>& vocabulary, const ARPALanguageModel* lm,
                          int beamWidth, float lmWeight, float wordBonus, int blankId, int tokenCandidates);

// The same over the first batch entry of an array of shape [batch, frames, vocabulary] of any element
// type and strides, as over the matrix of its values read as floats. An array of any other rank gives
// the empty string.
std::string ctcBeamSearch(const platform::MLMultiArray& logProbs, const std::map<int, std::string>& vocabulary,
                          const ARPALanguageModel* lm, int beamWidth, float lmWeight, float wordBonus, int blankId,
                          int tokenCandidates);

}  // namespace tesselaudio
