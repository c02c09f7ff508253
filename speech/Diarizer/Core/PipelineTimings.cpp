#include "speech/Diarizer/Core/PipelineTimings.h"

#include <array>
#include <utility>

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

namespace {

// The stages in report order, with their JSON keys.
struct Stage {
  const char* name;
  const char* key;
  double PipelineTimings::*seconds;
};

constexpr std::array<Stage, 6> kStages{{
    {"Model Compilation", "modelCompilationSeconds", &PipelineTimings::modelCompilationSeconds},
    {"Audio Loading", "audioLoadingSeconds", &PipelineTimings::audioLoadingSeconds},
    {"Segmentation", "segmentationSeconds", &PipelineTimings::segmentationSeconds},
    {"Embedding Extraction", "embeddingExtractionSeconds",
     &PipelineTimings::embeddingExtractionSeconds},
    {"Speaker Clustering", "speakerClusteringSeconds", &PipelineTimings::speakerClusteringSeconds},
    {"Post Processing", "postProcessingSeconds", &PipelineTimings::postProcessingSeconds},
}};

constexpr std::pair<const char*, double PipelineTimings::*> kTotals[] = {
    {"totalInferenceSeconds", &PipelineTimings::totalInferenceSeconds},
    {"totalProcessingSeconds", &PipelineTimings::totalProcessingSeconds},
};

}  // namespace

PipelineTimings::PipelineTimings(double modelCompilationSeconds, double audioLoadingSeconds,
                                 double segmentationSeconds, double embeddingExtractionSeconds,
                                 double speakerClusteringSeconds, double postProcessingSeconds)
    : modelCompilationSeconds(modelCompilationSeconds),
      audioLoadingSeconds(audioLoadingSeconds),
      segmentationSeconds(segmentationSeconds),
      embeddingExtractionSeconds(embeddingExtractionSeconds),
      speakerClusteringSeconds(speakerClusteringSeconds),
      postProcessingSeconds(postProcessingSeconds),
      totalInferenceSeconds(segmentationSeconds + embeddingExtractionSeconds +
                            speakerClusteringSeconds),
      totalProcessingSeconds(modelCompilationSeconds + audioLoadingSeconds + segmentationSeconds +
                             embeddingExtractionSeconds + speakerClusteringSeconds +
                             postProcessingSeconds) {}

std::map<std::string, double> PipelineTimings::stagePercentages() const {
  std::map<std::string, double> percentages;
  // Written so that NaN, too, gives an empty map.
  if (!(totalProcessingSeconds > 0)) return percentages;
  for (const Stage& stage : kStages) {
    percentages[stage.name] = this->*stage.seconds / totalProcessingSeconds * 100;
  }
  return percentages;
}

std::string PipelineTimings::bottleneckStage() const {
  const Stage* best = &kStages.front();
  for (const Stage& stage : kStages) {
    if (this->*stage.seconds > this->*best->seconds) best = &stage;
  }
  return best->name;
}

nlohmann::ordered_json PipelineTimings::toJson() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  for (const Stage& stage : kStages) json[stage.key] = writeDouble(this->*stage.seconds, stage.key);
  for (const auto& [key, seconds] : kTotals) json[key] = writeDouble(this->*seconds, key);
  return json;
}

PipelineTimings PipelineTimings::fromJson(const nlohmann::json& json) {
  requireObject(json, "PipelineTimings");
  PipelineTimings timings;
  for (const Stage& stage : kStages) {
    timings.*stage.seconds = readDouble(requiredMember(json, stage.key), stage.key);
  }
  for (const auto& [key, seconds] : kTotals) {
    timings.*seconds = readDouble(requiredMember(json, key), key);
  }
  return timings;
}

}  // namespace tesselaudio
