#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"

namespace tesselaudio {

// The text of a token sequence and the language its first language tag names.
struct NemotronMultilingualDecoded {
  std::string text;
  std::optional<std::string> detectedLanguage;

  bool operator==(const NemotronMultilingualDecoded&) const = default;
};

// The vocabulary of the multilingual streaming model with its language-tag tokens (pieces such as
// "<en>"). Immutable after construction; safe to share between threads and recognisers.
//
//   NemotronMultilingualTokenizer tokenizer(folder / "tokenizer.json", config.langTagTokenIds);
//   auto decoded = tokenizer.decode({13002, 412, 97});  // {"hello", "en"}
class NemotronMultilingualTokenizer {
 public:
  // Reads the vocabulary file (see Tokenizer). Throws the errors of Tokenizer's constructor.
  NemotronMultilingualTokenizer(const std::filesystem::path& vocabPath, std::set<std::int64_t> langTagTokenIds);

  const Tokenizer& base() const { return base_; }
  const std::set<std::int64_t>& langTagTokenIds() const { return langTagTokenIds_; }

  // The text without language tags (decoded as Tokenizer::decode, then every run of spaces made
  // one) and the language of the first tag id that has a piece, brackets stripped. Never throws.
  NemotronMultilingualDecoded decode(const std::vector<std::int64_t>& ids) const;

  // The piece of an id as the vocabulary holds it (tags with their brackets), or nothing.
  std::optional<std::string> rawToken(std::int64_t forId) const { return base_.piece(forId); }

  // The tag id whose piece is exactly "<code>" (case-sensitive), the lowest of several; nothing
  // when no tag id has that piece.
  std::optional<std::int64_t> langTagTokenId(const std::string& forLanguage) const;

  // "<x>" → "x" for any text of two or more characters that starts with "<" and ends with ">";
  // anything else unchanged.
  static std::string stripAngleBrackets(const std::string& text);

 private:
  Tokenizer base_;
  std::set<std::int64_t> langTagTokenIds_;
};

}  // namespace tesselaudio
