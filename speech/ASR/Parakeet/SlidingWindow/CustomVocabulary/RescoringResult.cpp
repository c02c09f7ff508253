#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/RescoringResult.h"

#include "platform/sys/JsonFields.h"

namespace tesselaudio {

using namespace platform::json;

nlohmann::json RescoringResult::toJson() const {
  Json json = Json::object();
  json["originalWord"] = originalWord;
  json["originalScore"] = writeFloat(originalScore, "originalScore");
  if (replacementWord) json["replacementWord"] = *replacementWord;
  if (replacementScore) json["replacementScore"] = writeFloat(*replacementScore, "replacementScore");
  json["shouldReplace"] = shouldReplace;
  json["reason"] = reason;
  return json;
}

RescoringResult RescoringResult::fromJson(const nlohmann::json& json) {
  requireObject(json, "RescoringResult");
  RescoringResult r;
  r.originalWord = readString(requiredMember(json, "originalWord"), "originalWord");
  r.originalScore = readFloat(requiredMember(json, "originalScore"), "originalScore");
  r.replacementWord = readOptional<std::string>(json, "replacementWord", readString);
  r.replacementScore = readOptional<float>(json, "replacementScore", readFloat);
  r.shouldReplace = readBool(requiredMember(json, "shouldReplace"), "shouldReplace");
  r.reason = readString(requiredMember(json, "reason"), "reason");
  return r;
}

}  // namespace tesselaudio
