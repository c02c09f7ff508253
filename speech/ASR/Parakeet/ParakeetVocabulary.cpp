#include "speech/ASR/Parakeet/ParakeetVocabulary.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include <nlohmann/json.hpp>

namespace tesselaudio::ParakeetVocabulary {
namespace {

// A decimal integer with an optional sign, the whole key and nothing else.
std::optional<int> tokenId(std::string_view key) {
  const bool negative = !key.empty() && key.front() == '-';
  if (!key.empty() && (key.front() == '+' || key.front() == '-')) key.remove_prefix(1);
  if (key.empty() || key.front() < '0' || key.front() > '9') return std::nullopt;
  unsigned long long magnitude = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), magnitude);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  const long long value = negative ? -static_cast<long long>(std::min<unsigned long long>(magnitude, 1ULL << 62))
                                   : static_cast<long long>(std::min<unsigned long long>(magnitude, 1ULL << 62));
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

std::optional<std::map<int, std::string>> fromJson(std::string_view json) {
  const nlohmann::json document = nlohmann::json::parse(json);
  std::map<int, std::string> vocabulary;
  if (document.is_array()) {
    int id = 0;
    for (const auto& piece : document) {
      if (!piece.is_string()) return std::nullopt;
      vocabulary.emplace(id++, piece.get<std::string>());
    }
    return vocabulary;
  }
  if (!document.is_object()) return std::nullopt;
  for (const auto& [key, piece] : document.items()) {
    if (!piece.is_string()) return std::nullopt;
    if (const auto id = tokenId(key)) vocabulary.emplace(*id, piece.get<std::string>());
  }
  return vocabulary;
}

}  // namespace tesselaudio::ParakeetVocabulary
