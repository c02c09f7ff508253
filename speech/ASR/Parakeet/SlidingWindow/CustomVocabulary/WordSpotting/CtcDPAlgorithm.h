#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tesselaudio {

// Frames in time order, each one natural-log probability per index of the CTC vocabulary (blank
// included).
using CtcLogProbMatrix = std::vector<std::vector<float>>;

// The keyword dynamic programme of CTC spotting: a keyword's tokens, with a blank before, between
// and after them, are matched against a log-probability matrix along a path that may start and end
// at any frame. The id -1 (ContextBiasingConstants::wildcardTokenId) is one symbol that matches any
// frame at no cost. Pure functions; safe from any thread. Out-of-range token ids emit kNeg and an
// out-of-range blank id emits 0, so nothing is read outside a row.
namespace CtcDPAlgorithm {

// An unreachable state, and the score at or below which a predecessor counts as unreachable.
inline constexpr float kNeg = -3.4028235e38f;
inline constexpr float kDead = -1.7014117e38f;

// Entry t (frames counted from 1; entry 0 is the state before any frame) describes the best path
// that has matched the whole keyword by the end of frame t: its summed score, its first frame
// (0-based) and one past the last frame that emitted one of its tokens.
struct TerminalStates {
  std::vector<float> scores;
  std::vector<int> starts;
  std::vector<int> ends;
};

struct Detection {
  float score = 0;
  int startFrame = 0;
  int endFrame = 0;

  bool operator==(const Detection&) const = default;
};

// T + 1 entries per array; with no tokens every entry is 0.
TerminalStates terminalStates(const CtcLogProbMatrix& logProbs, std::span<const std::int64_t> keywordTokens,
                              int blankId);

// The local maxima of the terminal scores divided by the number of real tokens that reach
// `minScore` (or, when none is a local maximum, the first best one if it reaches it), merged where
// they overlap when `mergeOverlap` is set (sorted by start frame then). None for no tokens, no
// frames or fewer frames than tokens.
std::vector<Detection> ctcWordSpotMultiple(const CtcLogProbMatrix& logProbs,
                                           std::span<const std::int64_t> keywordTokens, float minScore,
                                           bool mergeOverlap, int blankId);

// Sorts by start frame (stable) and folds each detection that starts at or before the end of the
// last one kept into it: the larger score, the start of the strictly stronger one (the earlier
// start on a tie), the later end.
std::vector<Detection> mergeOverlapping(std::vector<Detection> detections);

// The ids that are not the wildcard.
int nonWildcardCount(std::span<const std::int64_t> tokens);

}  // namespace CtcDPAlgorithm
}  // namespace tesselaudio
