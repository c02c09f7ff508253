#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualTokenizer.h"

#include <utility>

namespace tesselaudio {

namespace {

std::string collapsingSpaceRuns(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out.push_back(c);
  }
  return out;
}

}  // namespace

NemotronMultilingualTokenizer::NemotronMultilingualTokenizer(const std::filesystem::path& vocabPath,
                                                             std::set<std::int64_t> langTagTokenIds)
    : base_(vocabPath), langTagTokenIds_(std::move(langTagTokenIds)) {}

NemotronMultilingualDecoded NemotronMultilingualTokenizer::decode(const std::vector<std::int64_t>& ids) const {
  NemotronMultilingualDecoded decoded;
  std::vector<std::int64_t> textIds;
  textIds.reserve(ids.size());
  for (const std::int64_t id : ids) {
    if (!langTagTokenIds_.contains(id)) {
      textIds.push_back(id);
      continue;
    }
    if (decoded.detectedLanguage) continue;
    // A tag without a piece leaves the language to a later tag.
    if (auto piece = base_.piece(id)) decoded.detectedLanguage = stripAngleBrackets(*piece);
  }
  decoded.text = collapsingSpaceRuns(base_.decode(textIds));
  return decoded;
}

std::optional<std::int64_t> NemotronMultilingualTokenizer::langTagTokenId(const std::string& forLanguage) const {
  const std::string tag = "<" + forLanguage + ">";
  for (const std::int64_t id : langTagTokenIds_) {
    if (base_.piece(id) == tag) return id;
  }
  return std::nullopt;
}

std::string NemotronMultilingualTokenizer::stripAngleBrackets(const std::string& text) {
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>') return text.substr(1, text.size() - 2);
  return text;
}

}  // namespace tesselaudio
