#pragma once

#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// Seconds spent in each stage of one diarization run. A plain value.
//
// JSON: an object with the eight field names as keys in field order, all numbers and all required;
// decoding keeps the stored totals as they are.
struct PipelineTimings {
  // All zero.
  PipelineTimings() = default;
  // The six stages; the two totals are derived from them.
  PipelineTimings(double modelCompilationSeconds, double audioLoadingSeconds,
                  double segmentationSeconds, double embeddingExtractionSeconds,
                  double speakerClusteringSeconds, double postProcessingSeconds);

  double modelCompilationSeconds = 0;
  double audioLoadingSeconds = 0;
  double segmentationSeconds = 0;
  double embeddingExtractionSeconds = 0;
  double speakerClusteringSeconds = 0;
  double postProcessingSeconds = 0;
  // Segmentation + embedding extraction + speaker clustering.
  double totalInferenceSeconds = 0;
  // The sum of the six stages.
  double totalProcessingSeconds = 0;

  // Each stage's share of totalProcessingSeconds in percent, under the names "Model Compilation",
  // "Audio Loading", "Segmentation", "Embedding Extraction", "Speaker Clustering" and
  // "Post Processing"; empty when the total is not above 0.
  std::map<std::string, double> stagePercentages() const;
  // The name of the stage that took longest; on equal times the earlier stage in the order above.
  std::string bottleneckStage() const;

  // Throws platform::JsonCodingError (valueNotFinite) for a time that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when a key is missing or a value is not a number.
  static PipelineTimings fromJson(const nlohmann::json& json);

  bool operator==(const PipelineTimings&) const = default;
};

}  // namespace tesselaudio
