#include "tests/support/TokenizerFileBuilder.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace testsupport {

std::int64_t TokenizerFileBuilder::idOf(const std::string& piece) const {
  const auto it = std::find(pieces.begin(), pieces.end(), piece);
  return it == pieces.end() ? -1 : static_cast<std::int64_t>(it - pieces.begin());
}

std::string TokenizerFileBuilder::json() const {
  nlohmann::json vocab = nlohmann::json::object();
  for (std::size_t id = 0; id < pieces.size(); ++id) vocab[pieces[id]] = id;
  nlohmann::json added = nlohmann::json::array();
  for (const auto& [content, id] : addedTokens) added.push_back({{"content", content}, {"id", id}, {"special", true}});
  const nlohmann::json root = {
      {"version", "1.0"},
      {"added_tokens", added},
      {"normalizer", nullptr},
      {"model", {{"type", "BPE"}, {"unk_token", "<unk>"}, {"vocab", vocab}, {"merges", merges}}},
  };
  return root.dump();
}

void TokenizerFileBuilder::write(const std::filesystem::path& folder) const { writeTokenizerText(folder, json()); }

void writeTokenizerText(const std::filesystem::path& folder, const std::string& text) {
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / "tokenizer.json", std::ios::binary);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + (folder / "tokenizer.json").string());
}

}  // namespace testsupport
