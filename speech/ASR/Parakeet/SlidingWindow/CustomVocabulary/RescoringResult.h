#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// One replacement decision of custom-vocabulary rescoring, carried in recognition results. JSON:
// the field names as keys; "replacementWord" and "replacementScore" are left out when absent.
struct RescoringResult {
  std::string originalWord;
  float originalScore = 0;
  std::optional<std::string> replacementWord;
  std::optional<float> replacementScore;
  bool shouldReplace = false;
  std::string reason;

  // Throws platform::JsonCodingError for a score that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError for a missing required key or a value of the wrong type.
  static RescoringResult fromJson(const nlohmann::json& json);

  bool operator==(const RescoringResult&) const = default;
};

}  // namespace tesselaudio
