#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/sys/JsonFields.h"
#include "platform/text/CaseMapping.h"

namespace tesselaudio {
namespace {

using namespace platform::json;

std::optional<float> clampedSimilarity(std::optional<float> value) {
  if (!value) return std::nullopt;
  if (std::isnan(*value)) return 0.0f;
  return std::clamp(*value, 0.0f, 1.0f);
}

std::vector<std::int64_t> readIds(const Json& value, const char* name) {
  if (!value.is_array()) throw platform::JsonCodingError::typeMismatch(name, "an array of integers");
  std::vector<std::int64_t> ids;
  ids.reserve(value.size());
  for (const Json& element : value) ids.push_back(readInt64(element, name));
  return ids;
}

}  // namespace

CustomVocabularyTerm::CustomVocabularyTerm(std::string text, std::optional<float> weight,
                                           std::optional<std::vector<std::string>> aliases,
                                           std::optional<std::vector<std::int64_t>> tokenIds,
                                           std::optional<std::vector<std::int64_t>> ctcTokenIds,
                                           std::optional<float> minSimilarity)
    : text(std::move(text)),
      weight(weight),
      aliases(std::move(aliases)),
      tokenIds(std::move(tokenIds)),
      ctcTokenIds(std::move(ctcTokenIds)),
      minSimilarity(clampedSimilarity(minSimilarity)),
      textLowercased(platform::text::toLowerCase(this->text)) {}

nlohmann::json CustomVocabularyTerm::toJson() const {
  Json json = Json::object();
  json["text"] = text;
  if (weight) json["weight"] = writeFloat(*weight, "weight");
  if (aliases) json["aliases"] = *aliases;
  if (tokenIds) json["tokenIds"] = *tokenIds;
  if (ctcTokenIds) json["ctcTokenIds"] = *ctcTokenIds;
  if (minSimilarity) json["minSimilarity"] = writeFloat(*minSimilarity, "minSimilarity");
  return json;
}

CustomVocabularyTerm CustomVocabularyTerm::fromJson(const nlohmann::json& json) {
  requireObject(json, "CustomVocabularyTerm");
  return CustomVocabularyTerm(readString(requiredMember(json, "text"), "text"),
                              readOptional<float>(json, "weight", readFloat),
                              readOptional<std::vector<std::string>>(json, "aliases", readStrings),
                              readOptional<std::vector<std::int64_t>>(json, "tokenIds", readIds),
                              readOptional<std::vector<std::int64_t>>(json, "ctcTokenIds", readIds),
                              readOptional<float>(json, "minSimilarity", readFloat));
}

}  // namespace tesselaudio
