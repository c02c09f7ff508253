#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// JSON form of a term: an object with "text" (string, required), "weight" (number), "aliases"
// (array of strings), "tokenIds" and "ctcTokenIds" (arrays of integers) and "minSimilarity"
// (number). Keys are matched exactly; other keys are ignored; a missing or null optional key is an
// absent value, and an absent value is left out when written. textLowercased is never read or
// written.
namespace tesselaudio {

// One custom-vocabulary term: the spelling to appear in a transcript, its aliases, boost weight,
// token ids and similarity threshold. A plain value; safe from any thread. Every constructor keeps
// textLowercased as `text` lower-cased and minSimilarity, when present, within 0...1 (NaN gives 0).
struct CustomVocabularyTerm {
  std::string text;
  std::optional<float> weight;
  // Never an empty array: no aliases are absent.
  std::optional<std::vector<std::string>> aliases;
  // Ids in another model's vocabulary, carried through unchanged.
  std::optional<std::vector<std::int64_t>> tokenIds;
  // Ids in the CTC spotter's vocabulary.
  std::optional<std::vector<std::int64_t>> ctcTokenIds;
  std::optional<float> minSimilarity;
  std::string textLowercased;

  CustomVocabularyTerm() = default;
  explicit CustomVocabularyTerm(std::string text, std::optional<float> weight = std::nullopt,
                                std::optional<std::vector<std::string>> aliases = std::nullopt,
                                std::optional<std::vector<std::int64_t>> tokenIds = std::nullopt,
                                std::optional<std::vector<std::int64_t>> ctcTokenIds = std::nullopt,
                                std::optional<float> minSimilarity = std::nullopt);

  // Throws platform::JsonCodingError when the weight or minSimilarity is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError for a value that is not an object, a missing "text" or a value
  // of the wrong type (a fractional or out-of-range token id, a number beyond a 32-bit float).
  static CustomVocabularyTerm fromJson(const nlohmann::json& json);

  bool operator==(const CustomVocabularyTerm&) const = default;
};

}  // namespace tesselaudio
