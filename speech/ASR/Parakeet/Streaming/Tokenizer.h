#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A streaming model's vocabulary file is one JSON object from token ids to pieces:
//
//   {"0": "▁he", "1": "llo", "2": "▁world", ...}
//
// Keys are decimal integers: an optional "+" or "-", at least one digit, nothing else, within the
// range of a signed 64-bit integer (leading zeros allowed). Entries whose key does not read so stay
// in vocab() but name no id. Of several keys naming one id (7, +7, 07) the last in the file wins.
// Pieces are sentence pieces, "▁" (U+2581) marking the start of a word.
namespace tesselaudio {

// The vocabulary of a streaming model, turning token ids back into text. Immutable after
// construction; safe to share between threads.
//
//   Tokenizer tokenizer(modelFolder / "vocab.json");
//   std::string text = tokenizer.decode({412, 97, 1003});
class Tokenizer {
 public:
  // Reads and parses the vocabulary file. Throws platform::FileError when it cannot be read, and
  // platform::JsonCodingError(dataCorrupted) naming the file when it is not JSON, its top level is
  // not an object, or a value is not a string.
  explicit Tokenizer(const std::filesystem::path& vocabPath);

  // The text of a token sequence: the pieces of the ids that have one, joined without separator
  // (ids without a piece are skipped), every "▁" made a space, then the tabs and space separators
  // at both ends trimmed (line breaks and inner runs of spaces stay).
  std::string decode(const std::vector<std::int64_t>& ids) const;

  // The piece of one id, or nothing for an id without one. The two names are one operation.
  std::optional<std::string> piece(std::int64_t forId) const;
  std::optional<std::string> rawToken(std::int64_t forId) const { return piece(forId); }

  // Every entry of the file, key text to piece.
  const std::map<std::string, std::string>& vocab() const { return vocab_; }
  // The entries whose key reads as an id, by id.
  const std::map<std::int64_t, std::string>& vocabulary() const { return idToToken_; }

 private:
  std::map<std::string, std::string> vocab_;
  std::map<std::int64_t, std::string> idToToken_;
};

}  // namespace tesselaudio
