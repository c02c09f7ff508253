#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "speech/ASR/Parakeet/TokenTiming.h"

namespace tesselaudio {

// Timing of one recognised word. JSON: "word", "startTime", "endTime", all written and all
// required; unknown keys are ignored.
struct WordTiming {
  std::string word;
  double startTime = 0;  // seconds
  double endTime = 0;    // seconds

  // Throws platform::JsonCodingError for a time that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError for a missing or null key or a value of the wrong type.
  static WordTiming fromJson(const nlohmann::json& json);

  bool operator==(const WordTiming&) const = default;
};

// Groups token timings into words, in order. A token starting with the word-boundary mark "▁" or
// a space begins a new word (without that first character); any other token extends the current
// word, or begins one when the current word is still empty. Empty, "<blank>" and "<pad>" tokens are
// skipped and move no time. A word's text is trimmed of spaces and tabs; a word left empty is
// dropped.
std::vector<WordTiming> buildWordTimings(const std::vector<TokenTiming>& from);

}  // namespace tesselaudio
