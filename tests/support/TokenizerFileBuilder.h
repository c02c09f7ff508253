#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A small byte-pair-encoding "tokenizer.json": pieces take the ids of their positions, merges are
// "<left> <right>" strings in rank order, added tokens sit at the root.
//
//   TokenizerFileBuilder tokenizer;
//   tokenizer.pieces = {"<unk>", "\u2581", "h", "e", "he"};
//   tokenizer.merges = {"h e"};
//   tokenizer.write(folder.path());
struct TokenizerFileBuilder {
  std::vector<std::string> pieces;
  std::vector<std::string> merges;
  std::vector<std::pair<std::string, std::int64_t>> addedTokens;

  // The id of `piece` (its position); -1 when it is not among the pieces.
  std::int64_t idOf(const std::string& piece) const;

  // The file's text.
  std::string json() const;

  // Writes `folder`/"tokenizer.json", creating the folder. Throws std::runtime_error on failure.
  void write(const std::filesystem::path& folder) const;
};

// Writes `text` as `folder`/"tokenizer.json", creating the folder.
void writeTokenizerText(const std::filesystem::path& folder, const std::string& text);

}  // namespace testsupport
