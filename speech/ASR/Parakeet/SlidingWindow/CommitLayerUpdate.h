#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "speech/ASR/Parakeet/SlidingWindow/CommitReason.h"

namespace tesselaudio {

// What the punctuation commit layer shows after one step: the committed text, the tentative ghost
// text after it, the two joined for display, why this step committed (none when it committed
// nothing) and when the update was made. A value.
struct CommitLayerUpdate {
  std::string committedText;
  std::string ghostText;
  std::string totalText;
  std::optional<CommitReason> lastCommitReason;
  std::chrono::system_clock::time_point timestamp;

  bool operator==(const CommitLayerUpdate&) const = default;
};

}  // namespace tesselaudio
