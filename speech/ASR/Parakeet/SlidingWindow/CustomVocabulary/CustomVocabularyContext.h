#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"

// Vocabulary files come in two formats, told apart by the first byte that is not a space, tab, line
// feed or carriage return: "{" starts a JSON file (see CustomVocabularyConfig), anything else
// (a byte-order mark, "[", a letter, or nothing at all) a plain-text file in UTF-8:
//
//   # a comment: "#" first on the trimmed line
//   Tessel                      a bare term
//   Kubernetes: k8s, kube       a term, ":" and comma-separated aliases
//
// Lines end at LF, VT, FF, CR, CR LF, U+0085, U+2028 or U+2029. Every plain-text term weighs 10.0
// and carries no ids or threshold; the file has no syntax for them.
//
// Loading cleans every term and alias: when a text holds control or format characters, every
// character that starts with white space except a plain space is removed (a tab between words
// joins them). Terms that clean to nothing are left out. The JSON loader logs one warning line per
// doubtful term (control characters, diacritics, digits, characters other than letters, marks,
// blanks, "-" and "'") under the category "CustomVocabulary"; the plain-text loader logs nothing.
namespace tesselaudio {

class CtcModelVariant;
struct CtcModels;

// A loaded vocabulary: its terms in file order (duplicates kept) and the vocabulary-wide
// thresholds. A plain value; safe from any thread.
//
//   auto vocabulary = CustomVocabularyContext::loadVocabularyFile(path);
//   auto [tokenized, count, dropped] =
//       vocabulary.tokenizingMissingCtcTokens([&](const std::string& text) { return ctc->encode(text); });
struct CustomVocabularyContext {
  struct TokenizingResult;

  std::vector<CustomVocabularyTerm> terms;
  float alpha = 0;
  float minCtcScore = 0;
  float minSimilarity = 0;
  float minCombinedConfidence = 0;
  std::int64_t minTermLength = 0;

  // The file at `path` in the format its first non-blank byte tells (see above). Throws what the
  // chosen loader throws.
  static CustomVocabularyContext loadVocabularyFile(const std::filesystem::path& path);

  // The JSON vocabulary at `path`, thresholds absent from it defaulting to 0.5, -12.0, 0.52, 0.54
  // and 3. Throws platform::FileError when the file cannot be read and platform::JsonCodingError
  // when it is not JSON or not a vocabulary (see CustomVocabularyConfig); nothing partial.
  static CustomVocabularyContext load(const std::filesystem::path& path);

  // The plain-text vocabulary at `path`, with the default thresholds. Throws platform::FileError
  // when the file cannot be read or is not valid UTF-8.
  static CustomVocabularyContext loadFromSimpleFormat(const std::filesystem::path& path);

  // Fetches and loads the variant's CTC models (CtcModels::download into the default folder, then
  // CtcModels::load), reads the vocabulary file at `path` and gives every term the ids of the
  // variant's CtcTokenizer::encode of its text, replacing ids it had, with tokenIds absent; a term
  // that encodes to nothing is left out. Returns the vocabulary and the loaded models.
  // Throws the first failing step's error; nothing partial.
  static std::pair<CustomVocabularyContext, CtcModels> loadWithCtcTokens(const std::string& path,
                                                                         CtcModelVariant ctcVariant,
                                                                         std::stop_token stop = {});

  // A copy in which every term without CTC ids (absent or empty) gets the ids `tokenize` gives
  // its text; a term for which it gives none is left out. Terms that have ids pass unchanged.
  // Logs nothing.
  TokenizingResult tokenizingMissingCtcTokens(
      const std::function<std::vector<std::int64_t>(const std::string& text)>& tokenize) const;

  bool operator==(const CustomVocabularyContext&) const = default;
};

struct CustomVocabularyContext::TokenizingResult {
  CustomVocabularyContext context;
  // Terms that received ids in this call.
  std::int64_t tokenized = 0;
  // Texts of the terms left out, in vocabulary order.
  std::vector<std::string> dropped;
};

}  // namespace tesselaudio
