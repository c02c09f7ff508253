#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderState.h"

namespace tesselaudio {

// The result of one TDT decode call. A value. ySequence, timestamps, tokenDurations and
// tokenConfidences are parallel lists, as are suppressedTokens and suppressedTimestamps.
struct TdtHypothesis {
  // Sum of the confidences of the emitted tokens.
  float score = 0;
  // Emitted token ids in emission order.
  std::vector<int64_t> ySequence;
  // The state the call received, its arrays as the latest network run left them.
  std::optional<TdtDecoderState> decState;
  // Global encoder frame of each emitted token (window frame + the window's global offset).
  std::vector<int64_t> timestamps;
  // Duration in encoder frames of each emitted token.
  std::vector<int64_t> tokenDurations;
  // Confidence of each emitted token, in [0, 1].
  std::vector<float> tokenConfidences;
  // Tokens decoded below the caller's emission threshold, and their global frames.
  std::vector<int64_t> suppressedTokens;
  std::vector<int64_t> suppressedTimestamps;
  // The last token decoded in the call, emitted or suppressed.
  std::optional<int64_t> lastToken;
};

}  // namespace tesselaudio
