#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/RescoringResult.h"
#include "speech/ASR/Parakeet/TokenTiming.h"
#include "speech/Shared/ASRPerformanceMetrics.h"

namespace tesselaudio {

// The result of one recognition, shared by the library's recognisers. A value.
//
// JSON: an object with the field names as keys. "text", "confidence", "duration" and
// "processingTime" are always written and required; each optional field is written only when it
// has a value (an empty list as []), and reads as none when missing or null. Unknown keys are
// ignored.
struct ASRResult {
  std::string text;
  float confidence = 0;
  double duration = 0;        // seconds of audio
  double processingTime = 0;  // seconds of wall-clock time
  std::optional<std::vector<TokenTiming>> tokenTimings;
  std::optional<ASRPerformanceMetrics> performanceMetrics;
  std::optional<std::vector<std::string>> ctcDetectedTerms;
  std::optional<std::vector<std::string>> ctcAppliedTerms;
  std::optional<std::vector<RescoringResult>> ctcReplacements;

  // duration / processingTime in 32-bit floats, unguarded: infinite for a processing time of 0
  // (not a number when the duration is 0 too).
  float rtfx() const;

  // A copy with `text` and the three rescoring lists replaced (each also when given none).
  ASRResult withRescoring(std::string text, std::optional<std::vector<std::string>> detected,
                          std::optional<std::vector<std::string>> applied,
                          std::optional<std::vector<RescoringResult>> replacements) const;

  // Throws platform::JsonCodingError for a number that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError for a missing required key or a value of the wrong type.
  static ASRResult fromJson(const nlohmann::json& json);

  bool operator==(const ASRResult&) const = default;
};

}  // namespace tesselaudio
