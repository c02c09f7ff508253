#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"

// The root object of a JSON vocabulary file:
//
//   { "terms": [ <term>, ... ],          required (see CustomVocabularyTerm)
//     "alpha": 0.5, "minCtcScore": -12.0, "minSimilarity": 0.52,
//     "minCombinedConfidence": 0.54,     optional numbers
//     "minTermLength": 3 }               optional whole number
//
// Keys are matched exactly, letter case included; other keys are ignored.
namespace tesselaudio {

// A JSON vocabulary file as read: the optional thresholds stay absent here; the loader applies
// their defaults. A plain value; safe from any thread.
struct CustomVocabularyConfig {
  std::optional<float> alpha;
  std::vector<CustomVocabularyTerm> terms;
  std::optional<float> minCtcScore;
  std::optional<float> minSimilarity;
  std::optional<float> minCombinedConfidence;
  std::optional<std::int64_t> minTermLength;

  // Leaves absent values out. Throws platform::JsonCodingError for a number that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError when `json` is not an object, lacks "terms", or holds a value
  // of the wrong type anywhere (a fractional "minTermLength" included); nothing partial.
  static CustomVocabularyConfig fromJson(const nlohmann::json& json);

  bool operator==(const CustomVocabularyConfig&) const = default;
};

}  // namespace tesselaudio
