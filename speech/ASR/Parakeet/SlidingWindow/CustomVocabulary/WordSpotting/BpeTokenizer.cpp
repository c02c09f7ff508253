#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizer.h"

#include <optional>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/sys/FileIO.h"
#include "platform/sys/JsonFields.h"
#include "platform/text/CaseMapping.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Normalization.h"
#include "speech/Shared/ASRConstants.h"

namespace tesselaudio {
namespace {

using Json = nlohmann::json;
using IdTable = std::unordered_map<std::string, std::int64_t>;

constexpr std::string_view kFileName = "tokenizer.json";

// A whole number within 64 bits (3.0 counts, 3.5 and true do not).
std::optional<std::int64_t> integerValue(const Json& value) {
  if (!value.is_number()) return std::nullopt;
  try {
    return platform::json::readInt64(value, "id");
  } catch (const platform::JsonCodingError&) {
    return std::nullopt;
  }
}

const Json& requireModel(const Json& root) {
  const auto model = root.find("model");
  if (model == root.end() || !model->is_object()) throw BpeTokenizer::Error::missingField("model");
  const auto type = model->find("type");
  if (type == model->end() || !type->is_string()) throw BpeTokenizer::Error::missingField("model.type");
  const auto& typeText = type->get_ref<const std::string&>();
  if (typeText != "BPE") throw BpeTokenizer::Error::unsupportedTokenizerType(typeText);
  return *model;
}

IdTable readVocab(const Json& model) {
  const auto vocab = model.find("vocab");
  if (vocab == model.end() || !vocab->is_object()) throw BpeTokenizer::Error::missingField("model.vocab");
  IdTable table;
  table.reserve(vocab->size());
  for (const auto& [piece, value] : vocab->items()) {
    const auto id = integerValue(value);
    if (!id) throw BpeTokenizer::Error::missingField("model.vocab");
    table[platform::text::toNfc(piece)] = *id;
  }
  return table;
}

// "<left> <right>" split once at the first space after the first part; leading spaces skipped.
std::optional<BpeTokenizer::Pair> splitMerge(std::string_view entry) {
  const auto begin = entry.find_first_not_of(' ');
  if (begin == std::string_view::npos) return std::nullopt;
  const auto space = entry.find(' ', begin);
  if (space == std::string_view::npos || space + 1 == entry.size()) return std::nullopt;
  return BpeTokenizer::Pair{platform::text::toNfc(entry.substr(begin, space - begin)),
                            platform::text::toNfc(entry.substr(space + 1))};
}

std::vector<BpeTokenizer::Pair> readMerges(const Json& model) {
  const auto merges = model.find("merges");
  if (merges == model.end() || !merges->is_array()) throw BpeTokenizer::Error::missingField("model.merges");
  std::vector<BpeTokenizer::Pair> pairs;
  pairs.reserve(merges->size());
  for (const Json& entry : *merges) {
    if (!entry.is_string()) throw BpeTokenizer::Error::missingField("model.merges");
    if (auto pair = splitMerge(entry.get_ref<const std::string&>())) pairs.push_back(std::move(*pair));
  }
  return pairs;
}

IdTable readAddedTokens(const Json& root) {
  const auto tokens = root.find("added_tokens");
  if (tokens == root.end() || !tokens->is_array()) return {};
  for (const Json& entry : *tokens) {
    if (!entry.is_object()) return {};
  }
  IdTable table;
  for (const Json& entry : *tokens) {
    const auto content = entry.find("content");
    const auto idValue = entry.find("id");
    if (content == entry.end() || !content->is_string() || idValue == entry.end()) continue;
    const auto id = integerValue(*idValue);
    if (!id) continue;
    table[platform::text::toNfc(content->get_ref<const std::string&>())] = *id;
  }
  return table;
}

const std::int64_t* find(const IdTable& table, const std::string& piece) {
  const auto it = table.find(piece);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace

BpeTokenizer::Error::Error(Case errorCase, std::string description, std::string detail,
                           std::optional<std::filesystem::path> file)
    : platform::Error("BpeTokenizer.Error", kDomain, static_cast<int>(errorCase), std::move(description),
                      std::move(file), nullptr),
      detail_(std::move(detail)) {}

BpeTokenizer::Error BpeTokenizer::Error::fileNotFound(const std::filesystem::path& file) {
  return Error(Case::fileNotFound, "tokenizer.json not found at " + file.string(), file.string(), file);
}

BpeTokenizer::Error BpeTokenizer::Error::invalidJSON(const std::string& message) {
  return Error(Case::invalidJSON, "Invalid JSON: " + message, message);
}

BpeTokenizer::Error BpeTokenizer::Error::missingField(const std::string& field) {
  return Error(Case::missingField, "Missing required field: " + field, field);
}

BpeTokenizer::Error BpeTokenizer::Error::unsupportedTokenizerType(const std::string& type) {
  return Error(Case::unsupportedTokenizerType,
               "Unsupported tokenizer type: " + type + ". Only 'BPE' is supported.", type);
}

BpeTokenizer::BpeTokenizer(IdTable vocab, std::vector<Pair> merges, IdTable addedTokens)
    : vocab_(std::move(vocab)), merges_(std::move(merges)), addedTokens_(std::move(addedTokens)) {
  ranks_.reserve(merges_.size());
  for (std::size_t rank = 0; rank < merges_.size(); ++rank) {
    // emplace keeps the first entry of a pair listed twice.
    ranks_.emplace(merges_[rank].first + ' ' + merges_[rank].second, rank);
  }
}

std::shared_ptr<const BpeTokenizer> BpeTokenizer::load(const std::filesystem::path& folder) {
  const auto file = folder / kFileName;
  std::error_code ignored;
  if (!std::filesystem::exists(file, ignored)) throw Error::fileNotFound(file);
  const Json root = Json::parse(platform::readFile(file));
  if (!root.is_object()) throw Error::invalidJSON("Root is not a dictionary");
  const Json& model = requireModel(root);
  IdTable vocab = readVocab(model);
  std::vector<Pair> merges = readMerges(model);
  IdTable addedTokens = readAddedTokens(root);
  return std::shared_ptr<const BpeTokenizer>(
      new BpeTokenizer(std::move(vocab), std::move(merges), std::move(addedTokens)));
}

std::vector<std::string> BpeTokenizer::initialPieces(std::string_view text, bool prependWordBoundary) {
  const std::string normalised = platform::text::toNfkc(platform::text::toLowerCase(text));
  std::string marked;
  marked.reserve(normalised.size() * 2 + ASRConstants::sentencePieceWordBoundary.size());
  if (prependWordBoundary) marked += ASRConstants::sentencePieceWordBoundary;
  for (char c : normalised) {
    if (c == ' ') {
      marked += ASRConstants::sentencePieceWordBoundary;
    } else {
      marked += c;
    }
  }
  return platform::text::graphemes(marked);
}

std::size_t BpeTokenizer::rankOf(const std::string& left, const std::string& right,
                                 std::string& scratch) const {
  scratch.assign(left);
  scratch += ' ';
  scratch += right;
  const auto it = ranks_.find(scratch);
  return it == ranks_.end() ? std::string::npos : it->second;
}

std::int64_t BpeTokenizer::idOf(const std::string& piece) const {
  static const std::string unknown(ASRConstants::sentencePieceUnknownToken);
  for (const std::int64_t* id : {find(addedTokens_, piece), find(vocab_, piece),
                                 find(addedTokens_, unknown), find(vocab_, unknown)}) {
    if (id) return *id;
  }
  return 0;
}

std::vector<std::int64_t> BpeTokenizer::encode(std::string_view text, bool /*addSpecialTokens*/,
                                               bool prependWordBoundary) const {
  std::vector<std::string> pieces = initialPieces(text, prependWordBoundary);
  std::vector<std::string> merged;
  std::string scratch;
  while (pieces.size() >= 2) {
    std::size_t bestRank = std::string::npos;
    std::size_t bestIndex = 0;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
      const std::size_t rank = rankOf(pieces[i], pieces[i + 1], scratch);
      if (rank < bestRank) {
        bestRank = rank;
        bestIndex = i;
      }
    }
    if (bestRank == std::string::npos) break;
    const std::string left = pieces[bestIndex];
    const std::string right = pieces[bestIndex + 1];
    merged.clear();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i + 1 < pieces.size() && pieces[i] == left && pieces[i + 1] == right) {
        merged.push_back(left + right);
        ++i;
      } else {
        merged.push_back(std::move(pieces[i]));
      }
    }
    pieces.swap(merged);
  }
  std::vector<std::int64_t> ids;
  ids.reserve(pieces.size());
  for (const std::string& piece : pieces) ids.push_back(idOf(piece));
  return ids;
}

}  // namespace tesselaudio
