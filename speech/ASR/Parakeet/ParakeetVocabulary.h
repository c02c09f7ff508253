#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

// A Parakeet vocabulary file is JSON in one of two shapes:
//
//   ["<unk>", "▁the", ...]            the piece at position i is token i
//   {"0": "<unk>", "1": "▁the", ...}   keys are decimal token ids (a leading "+" or "-" allowed)
//
// Object keys that are empty or not integers are skipped; keys naming the same id ("7", "07")
// keep one piece.
namespace tesselaudio::ParakeetVocabulary {

// The token map of `json`, or none when its top level is neither an array of strings nor an object
// of strings. Throws nlohmann::json::exception for text that is no JSON.
std::optional<std::map<int, std::string>> fromJson(std::string_view json);

}  // namespace tesselaudio::ParakeetVocabulary
