#include "speech/ASR/Parakeet/ASRResult.h"

#include <utility>

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

float ASRResult::rtfx() const {
  return static_cast<float>(duration) / static_cast<float>(processingTime);
}

ASRResult ASRResult::withRescoring(std::string newText,
                                   std::optional<std::vector<std::string>> detected,
                                   std::optional<std::vector<std::string>> applied,
                                   std::optional<std::vector<RescoringResult>> replacements) const {
  ASRResult copy = *this;
  copy.text = std::move(newText);
  copy.ctcDetectedTerms = std::move(detected);
  copy.ctcAppliedTerms = std::move(applied);
  copy.ctcReplacements = std::move(replacements);
  return copy;
}

nlohmann::json ASRResult::toJson() const {
  Json json = Json::object();
  json["text"] = text;
  json["confidence"] = writeFloat(confidence, "confidence");
  json["duration"] = writeDouble(duration, "duration");
  json["processingTime"] = writeDouble(processingTime, "processingTime");
  if (tokenTimings) json["tokenTimings"] = writeRecords(*tokenTimings);
  if (performanceMetrics) json["performanceMetrics"] = performanceMetrics->toJson();
  if (ctcDetectedTerms) json["ctcDetectedTerms"] = *ctcDetectedTerms;
  if (ctcAppliedTerms) json["ctcAppliedTerms"] = *ctcAppliedTerms;
  if (ctcReplacements) json["ctcReplacements"] = writeRecords(*ctcReplacements);
  return json;
}

ASRResult ASRResult::fromJson(const nlohmann::json& json) {
  requireObject(json, "ASRResult");
  ASRResult r;
  r.text = readString(requiredMember(json, "text"), "text");
  r.confidence = readFloat(requiredMember(json, "confidence"), "confidence");
  r.duration = readDouble(requiredMember(json, "duration"), "duration");
  r.processingTime = readDouble(requiredMember(json, "processingTime"), "processingTime");
  r.tokenTimings =
      readOptional<std::vector<TokenTiming>>(json, "tokenTimings", readRecords<TokenTiming>);
  r.performanceMetrics = readOptional<ASRPerformanceMetrics>(
      json, "performanceMetrics",
      [](const Json& value, const char*) { return ASRPerformanceMetrics::fromJson(value); });
  r.ctcDetectedTerms = readOptional<std::vector<std::string>>(json, "ctcDetectedTerms", readStrings);
  r.ctcAppliedTerms = readOptional<std::vector<std::string>>(json, "ctcAppliedTerms", readStrings);
  r.ctcReplacements = readOptional<std::vector<RescoringResult>>(json, "ctcReplacements",
                                                                  readRecords<RescoringResult>);
  return r;
}

}  // namespace tesselaudio
