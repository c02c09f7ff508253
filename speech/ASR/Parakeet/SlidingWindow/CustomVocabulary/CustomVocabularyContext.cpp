#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContext.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/JsonCodingError.h"
#include "platform/text/CharacterClasses.h"
#include "platform/text/Folding.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Normalization.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyConfig.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModels.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {
namespace {

namespace text = platform::text;

constexpr float kPlainTextWeight = 10.0f;
constexpr std::int64_t kDefaultMinTermLength = 3;

struct Sanitized {
  std::string text;
  std::vector<std::string> warnings;
};

std::u32string scalarsOf(std::string_view utf8) {
  if (auto scalars = text::unicodeScalars(utf8)) return *std::move(scalars);
  return *text::unicodeScalars(text::repairedUtf8(utf8));
}

template <class Predicate>
bool containsScalar(std::string_view utf8, Predicate predicate) {
  const std::u32string scalars = scalarsOf(utf8);
  return std::any_of(scalars.begin(), scalars.end(), predicate);
}

// Every character that starts with white space goes, line breaks included, except a plain space.
std::string withoutWhiteSpaceCharacters(std::string_view utf8) {
  std::string rebuilt;
  for (const std::string& character : text::graphemes(utf8)) {
    if (character != " " && text::isWhiteSpace(scalarsOf(character).front())) continue;
    rebuilt += character;
  }
  return rebuilt;
}

bool isOrdinaryTermCharacter(char32_t c) {
  return text::isLetterOrMark(c) || text::isBlank(c) || c == U'-' || c == U'\'';
}

Sanitized sanitizeVocabularyTerm(std::string_view term) {
  Sanitized result{std::string(term), {}};
  if (containsScalar(result.text, text::isControlCharacter)) {
    result.warnings.emplace_back("contains control characters");
    result.text = withoutWhiteSpaceCharacters(result.text);
  }
  if (text::foldDiacritics(result.text) != text::toNfc(result.text)) {
    result.warnings.emplace_back("contains diacritics - consider adding ASCII alias");
  }
  if (containsScalar(result.text, text::isDecimalDigit)) result.warnings.emplace_back("contains numbers");
  if (containsScalar(result.text, [](char32_t c) { return !isOrdinaryTermCharacter(c); })) {
    result.warnings.emplace_back("contains unusual characters");
  }
  return result;
}

// The sanitised forms of `aliases` that are not empty, or absent when none is left.
std::optional<std::vector<std::string>> sanitizedAliases(const std::vector<std::string>& aliases) {
  std::vector<std::string> kept;
  for (const std::string& alias : aliases) {
    std::string sanitized = sanitizeVocabularyTerm(alias).text;
    if (!sanitized.empty()) kept.push_back(std::move(sanitized));
  }
  if (kept.empty()) return std::nullopt;
  return kept;
}

CustomVocabularyContext contextWithDefaults(std::vector<CustomVocabularyTerm> terms) {
  namespace constants = ContextBiasingConstants;
  return {std::move(terms), constants::defaultAlpha, constants::defaultMinVocabCtcScore,
          constants::defaultMinSimilarity, constants::defaultMinCombinedConfidence, kDefaultMinTermLength};
}

CustomVocabularyConfig readConfig(const std::filesystem::path& path) {
  const std::string bytes = platform::readFile(path);
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(bytes);
  } catch (const nlohmann::json::parse_error& error) {
    throw platform::JsonCodingError::dataCorrupted(error.what());
  }
  return CustomVocabularyConfig::fromJson(json);
}

// The cleaned term, or nothing when it cleans to nothing; doubtful terms are logged.
std::optional<CustomVocabularyTerm> loadedJsonTerm(const CustomVocabularyTerm& term, const AppLogger& logger) {
  Sanitized sanitized = sanitizeVocabularyTerm(term.text);
  if (!sanitized.warnings.empty()) {
    logger.warning(fmt::format("Term '{}': {}", term.text, fmt::join(sanitized.warnings, ", ")));
  }
  if (sanitized.text.empty()) {
    logger.warning(fmt::format("Term '{}' is empty after sanitization, skipping", term.text));
    return std::nullopt;
  }
  auto aliases = term.aliases ? sanitizedAliases(*term.aliases) : std::nullopt;
  return CustomVocabularyTerm(std::move(sanitized.text), term.weight, std::move(aliases), term.tokenIds,
                              term.ctcTokenIds, term.minSimilarity);
}

// The length of the line break that starts at `at` in valid UTF-8, or 0: LF, VT, FF, CR, U+0085,
// U+2028, U+2029 (a CR LF pair is two breaks around an empty line, which is dropped anyway).
std::size_t lineBreakLength(std::string_view utf8, std::size_t at) {
  const std::string_view rest = utf8.substr(at);
  if (rest[0] >= '\n' && rest[0] <= '\r') return 1;
  if (rest.starts_with("\u0085")) return 2;
  if (rest.starts_with("\u2028") || rest.starts_with("\u2029")) return 3;
  return 0;
}

std::vector<std::string_view> nonEmptyLines(std::string_view utf8) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < utf8.size()) {
    const std::size_t breakLength = lineBreakLength(utf8, at);
    if (breakLength == 0) {
      ++at;
      continue;
    }
    if (at > start) lines.push_back(utf8.substr(start, at - start));
    at += breakLength;
    start = at;
  }
  if (at > start) lines.push_back(utf8.substr(start, at - start));
  return lines;
}

std::vector<std::string> splitAliases(std::string_view tail) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= tail.size()) {
    const std::size_t comma = std::min(tail.find(',', start), tail.size());
    std::string piece = text::trimBlanks(tail.substr(start, comma - start));
    if (!piece.empty()) pieces.push_back(std::move(piece));
    start = comma + 1;
  }
  return pieces;
}

// The term of one plain-text line, or nothing for a comment, an empty line or a term that cleans
// to nothing.
std::optional<CustomVocabularyTerm> plainTextTerm(std::string_view rawLine) {
  const std::string line = text::trimWhitespaceAndNewlines(rawLine);
  if (line.empty() || line.front() == '#') return std::nullopt;
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) {
    std::string term = sanitizeVocabularyTerm(line).text;
    if (term.empty()) return std::nullopt;
    return CustomVocabularyTerm(std::move(term), kPlainTextWeight);
  }
  const std::string head = text::trimBlanks(std::string_view(line).substr(0, colon));
  auto aliases = sanitizedAliases(splitAliases(std::string_view(line).substr(colon + 1)));
  std::string term = sanitizeVocabularyTerm(head).text;
  if (term.empty()) return std::nullopt;
  return CustomVocabularyTerm(std::move(term), kPlainTextWeight, std::move(aliases));
}

}  // namespace

CustomVocabularyContext CustomVocabularyContext::loadVocabularyFile(const std::filesystem::path& path) {
  const std::string bytes = platform::readFile(path);
  const std::size_t first = bytes.find_first_not_of(" \t\n\r");
  if (first != std::string::npos && bytes[first] == '{') return load(path);
  return loadFromSimpleFormat(path);
}

CustomVocabularyContext CustomVocabularyContext::load(const std::filesystem::path& path) {
  const AppLogger logger("CustomVocabulary");
  const CustomVocabularyConfig config = readConfig(path);
  std::vector<CustomVocabularyTerm> terms;
  terms.reserve(config.terms.size());
  for (const CustomVocabularyTerm& term : config.terms) {
    if (auto loaded = loadedJsonTerm(term, logger)) terms.push_back(*std::move(loaded));
  }
  namespace constants = ContextBiasingConstants;
  return {std::move(terms),
          config.alpha.value_or(constants::defaultAlpha),
          config.minCtcScore.value_or(constants::defaultMinVocabCtcScore),
          config.minSimilarity.value_or(constants::defaultMinSimilarity),
          config.minCombinedConfidence.value_or(constants::defaultMinCombinedConfidence),
          config.minTermLength.value_or(kDefaultMinTermLength)};
}

CustomVocabularyContext CustomVocabularyContext::loadFromSimpleFormat(const std::filesystem::path& path) {
  const std::string content = platform::readFile(path);
  if (!text::isValidUtf8(content)) {
    throw platform::FileError::cocoa(
        platform::FileError::fileReadInapplicableStringEncoding, path,
        "The file '" + path.filename().string() + "' couldn't be opened using text encoding Unicode (UTF-8).");
  }
  std::vector<CustomVocabularyTerm> terms;
  for (std::string_view line : nonEmptyLines(content)) {
    if (auto term = plainTextTerm(line)) terms.push_back(*std::move(term));
  }
  return contextWithDefaults(std::move(terms));
}

std::pair<CustomVocabularyContext, CtcModels> CustomVocabularyContext::loadWithCtcTokens(const std::string& path,
                                                                                        CtcModelVariant ctcVariant,
                                                                                        std::stop_token stop) {
  const std::filesystem::path folder = CtcModels::download(std::nullopt, ctcVariant, false, stop);
  CtcModels models = CtcModels::load(folder, ctcVariant, stop);
  CustomVocabularyContext vocabulary = loadVocabularyFile(path);
  const std::shared_ptr<const CtcTokenizer> tokenizer = CtcTokenizer::load(CtcModels::defaultCacheDirectory(ctcVariant));

  // Ids from the file may belong to another model's vocabulary, so every term is encoded anew.
  std::vector<CustomVocabularyTerm> terms;
  for (const CustomVocabularyTerm& term : vocabulary.terms) {
    std::vector<std::int64_t> ids = tokenizer->encode(term.text);
    if (ids.empty()) continue;
    terms.emplace_back(term.text, term.weight, term.aliases, std::nullopt, std::move(ids), term.minSimilarity);
  }
  vocabulary.terms = std::move(terms);
  return {std::move(vocabulary), std::move(models)};
}

CustomVocabularyContext::TokenizingResult CustomVocabularyContext::tokenizingMissingCtcTokens(
    const std::function<std::vector<std::int64_t>(const std::string& text)>& tokenize) const {
  TokenizingResult result{{{}, alpha, minCtcScore, minSimilarity, minCombinedConfidence, minTermLength}, 0, {}};
  for (const CustomVocabularyTerm& term : terms) {
    if (term.ctcTokenIds && !term.ctcTokenIds->empty()) {
      result.context.terms.push_back(term);
      continue;
    }
    std::vector<std::int64_t> ids = tokenize(term.text);
    if (ids.empty()) {
      result.dropped.push_back(term.text);
      continue;
    }
    result.context.terms.emplace_back(term.text, term.weight, term.aliases, term.tokenIds, std::move(ids),
                                      term.minSimilarity);
    ++result.tokenized;
  }
  return result;
}

}  // namespace tesselaudio
