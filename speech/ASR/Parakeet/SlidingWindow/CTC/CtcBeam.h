#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tesselaudio {

// ln(exp(a) + exp(b)) without overflow: b when a is negative infinity, a when b is, otherwise
// m + ln(exp(a - m) + exp(b - m)) with m the larger of the two. Pure; NaN passes through.
float logAddExp(float a, float b);

// One hypothesis of the CTC prefix beam search: the collapsed token ids so far, the natural-log
// probabilities of its alignments ending in a blank and in its last token, and the language-model
// part of its score with the word in progress. A plain value.
struct CtcBeam {
  std::vector<int> prefix;
  float pBlank = 0;
  float pNonBlank = 0;
  // Word bonuses and weighted language-model scores of the words completed so far.
  float lmScore = 0;
  // Pieces of the word in progress, without the word-boundary mark.
  std::vector<std::string> wordPieces;
  // The last completed word; none before the first.
  std::optional<std::string> prevWord;

  // logAddExp(pBlank, pNonBlank).
  float totalAcoustic() const { return logAddExp(pBlank, pNonBlank); }
  // totalAcoustic() + lmScore.
  float total() const { return totalAcoustic() + lmScore; }
  // The last id of prefix; none when it is empty.
  std::optional<int> lastToken() const;

  bool operator==(const CtcBeam&) const = default;
};

}  // namespace tesselaudio
