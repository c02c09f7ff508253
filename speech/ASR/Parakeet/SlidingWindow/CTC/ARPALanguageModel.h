#pragma once

// ARPA language model files, of which the unigrams and bigrams are read. The file is UTF-8 text
// of lines separated by line feeds (a carriage return before one is trimmed with the other blanks
// around the line):
//
//   \data\                         header, skipped
//   ngram 1=2
//   \1-grams:
//   -1.0<TAB>hello<TAB>-0.5        log10 probability, word, optional log10 back-off
//   \2-grams:
//   -0.3<TAB>hello<TAB>world       log10 probability, previous word, word, optional back-off
//   \end\                          reading stops here
//
// Fields are separated by tabs only; a space belongs to its field, so "hello world" written with a
// space is one field. The section headers must read exactly "\1-grams:" and "\2-grams:"; lines of
// other sections (trigrams and higher) and lines before the first section are not used. Values are
// stored in natural logarithms. Reading stops at "\end\". A later line for the same word or pair
// replaces the earlier one.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAWordTable.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// A word bigram language model with unigram back-off weights, read from an ARPA file. An immutable
// value once loaded: concurrent searches may share one model and call score() from any thread.
//
//   ARPALanguageModel lm = ARPALanguageModel::load("/models/words.arpa");
//   float s = lm.score("world", "hello");
struct ARPALanguageModel {
  // One unigram or bigram, both values in natural logarithms.
  struct Entry {
    float logProb = 0;
    float backoff = 0;

    bool operator==(const Entry&) const = default;
  };

  template <class Value>
  using WordTable = ARPAWordTable<Value>;

  // ln 10 as a float: every value read from a file is multiplied by it.
  static constexpr float log10ToNat = 2.3025851F;
  // The score of a word that is not a unigram: a log10 probability of -10.
  static constexpr float unkLogProb = -23.026F;

  // The logger of the loader, category "ARPALanguageModel".
  static const AppLogger& logger();

  WordTable<Entry> unigrams;
  // Previous word, then word.
  WordTable<WordTable<Entry>> bigrams;

  // Reads the unigrams and bigrams of the ARPA file at `from`, 64 KiB at a time. A data line whose
  // first field is not a number, or a line that is not valid UTF-8, is skipped with the warning
  // "Skipping malformed ARPA line: <line>" (invalid bytes shown as U+FFFD); other unusable lines
  // are skipped silently; a back-off that is not a number counts as 0.
  // Throws ARPAError::cannotOpen when the file cannot be opened or read (a folder included).
  static ARPALanguageModel load(const std::filesystem::path& from);

  // The natural-log score of `word` after `prev`: the bigram's probability when (prev, word) is
  // one, else prev's unigram back-off (0 without prev or its unigram) plus word's unigram
  // probability, or plus unkLogProb when word is not a unigram.
  float score(std::string_view word, std::optional<std::string_view> prev) const;

  bool operator==(const ARPALanguageModel&) const = default;
};

}  // namespace tesselaudio
