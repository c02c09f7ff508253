#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyConfig.h"

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

nlohmann::json CustomVocabularyConfig::toJson() const {
  Json json = Json::object();
  if (alpha) json["alpha"] = writeFloat(*alpha, "alpha");
  json["terms"] = writeRecords(terms);
  if (minCtcScore) json["minCtcScore"] = writeFloat(*minCtcScore, "minCtcScore");
  if (minSimilarity) json["minSimilarity"] = writeFloat(*minSimilarity, "minSimilarity");
  if (minCombinedConfidence) {
    json["minCombinedConfidence"] = writeFloat(*minCombinedConfidence, "minCombinedConfidence");
  }
  if (minTermLength) json["minTermLength"] = *minTermLength;
  return json;
}

CustomVocabularyConfig CustomVocabularyConfig::fromJson(const nlohmann::json& json) {
  requireObject(json, "CustomVocabularyConfig");
  CustomVocabularyConfig config;
  config.alpha = readOptional<float>(json, "alpha", readFloat);
  config.terms = readRecords<CustomVocabularyTerm>(requiredMember(json, "terms"), "terms");
  config.minCtcScore = readOptional<float>(json, "minCtcScore", readFloat);
  config.minSimilarity = readOptional<float>(json, "minSimilarity", readFloat);
  config.minCombinedConfidence = readOptional<float>(json, "minCombinedConfidence", readFloat);
  config.minTermLength = readOptional<std::int64_t>(json, "minTermLength", readInt64);
  return config;
}

}  // namespace tesselaudio
