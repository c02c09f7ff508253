// Custom-vocabulary costs:
//   BM_BpeEncode            encoding 1,000 terms of one to three words with a tokenizer of 8,000
//                           merges, the pair ranks looked up in a table built at load ...
//   BM_BpeEncode_Baseline   ... beside the same encodings that scan the merge list for every pair
//                           at every step.
//   BM_SpotTerm/7500        the keyword dynamic programme of one 6-token term over a 7,500 x 1,025
//                           log-probability matrix (10 minutes of 80 ms frames) ...
//   BM_SpotTerm_Baseline    ... beside one pass that sums every value of the same matrix.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizer.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcDPAlgorithm.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TokenizerFileBuilder.h"

namespace {

using tesselaudio::BpeTokenizer;

constexpr std::size_t kMerges = 8000;
constexpr int kTerms = 1000;
const std::string kMark = "\u2581";

std::vector<std::string> wordPool() {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> length(4, 9);
  std::uniform_int_distribution<int> letter('a', 'z');
  std::set<std::string> words;
  while (words.size() < 2000) {
    std::string word(static_cast<std::size_t>(length(random)), ' ');
    for (char& c : word) c = static_cast<char>(letter(random));
    words.insert(word);
  }
  return {words.begin(), words.end()};
}

// Each word of the pool grows from the word mark one letter at a time, as a trained merge list
// grows frequent words; the pieces of every step are in the vocabulary.
testsupport::TokenizerFileBuilder tokenizerFile(const std::vector<std::string>& words) {
  testsupport::TokenizerFileBuilder file;
  file.pieces = {"<unk>", kMark};
  for (char c = 'a'; c <= 'z'; ++c) file.pieces.emplace_back(1, c);
  std::set<std::string> known(file.pieces.begin(), file.pieces.end());
  for (const std::string& word : words) {
    std::string piece = kMark;
    for (char c : word) {
      if (file.merges.size() == kMerges) return file;
      const std::string grown = piece + c;
      if (known.insert(grown).second) {
        file.merges.push_back(piece + " " + c);
        file.pieces.push_back(grown);
      }
      piece = grown;
    }
  }
  return file;
}

std::vector<std::string> terms(const std::vector<std::string>& words) {
  std::mt19937 random(13);
  std::uniform_int_distribution<std::size_t> pick(0, words.size() - 1);
  std::uniform_int_distribution<int> wordCount(1, 3);
  std::vector<std::string> out;
  for (int i = 0; i < kTerms; ++i) {
    std::string term;
    for (int w = wordCount(random); w > 0; --w) {
      std::string word = words[pick(random)];
      word.front() = static_cast<char>(word.front() - 'a' + 'A');
      term += (term.empty() ? "" : " ") + word;
    }
    out.push_back(term);
  }
  return out;
}

struct Fixture {
  std::shared_ptr<const BpeTokenizer> tokenizer;
  std::vector<std::string> terms;
};

const Fixture& fixture() {
  static const Fixture f = [] {
    const auto words = wordPool();
    testsupport::TemporaryFolder folder;
    tokenizerFile(words).write(folder.path());
    return Fixture{BpeTokenizer::load(folder.path()), terms(words)};
  }();
  return f;
}

// The rank of (left, right) found by walking the merge list from the top.
std::size_t scannedRank(const std::vector<BpeTokenizer::Pair>& merges, const std::string& left,
                        const std::string& right) {
  for (std::size_t rank = 0; rank < merges.size(); ++rank) {
    if (merges[rank].first == left && merges[rank].second == right) return rank;
  }
  return std::string::npos;
}

std::vector<std::int64_t> encodeByScanning(const BpeTokenizer& tokenizer, std::string_view text) {
  std::vector<std::string> pieces = BpeTokenizer::initialPieces(text, true);
  while (pieces.size() >= 2) {
    std::size_t best = std::string::npos;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
      best = std::min(best, scannedRank(tokenizer.merges(), pieces[i], pieces[i + 1]));
    }
    if (best == std::string::npos) break;
    const auto [left, right] = tokenizer.merges()[best];
    std::vector<std::string> merged;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const bool pair = i + 1 < pieces.size() && pieces[i] == left && pieces[i + 1] == right;
      merged.push_back(pair ? pieces[i] + pieces[i + 1] : pieces[i]);
      i += pair ? 1 : 0;
    }
    pieces.swap(merged);
  }
  std::vector<std::int64_t> ids;
  for (const std::string& piece : pieces) ids.push_back(tokenizer.idOf(piece));
  return ids;
}

void checkSameIds(const Fixture& f) {
  for (const std::string& term : f.terms) {
    if (f.tokenizer->encode(term, false, true) != encodeByScanning(*f.tokenizer, term)) std::abort();
  }
}

void BM_BpeEncode(benchmark::State& state) {
  const Fixture& f = fixture();
  checkSameIds(f);
  for (auto _ : state) {
    for (const std::string& term : f.terms) benchmark::DoNotOptimize(f.tokenizer->encode(term, false, true));
  }
  state.SetItemsProcessed(state.iterations() * kTerms);
}
BENCHMARK(BM_BpeEncode)->Unit(benchmark::kMillisecond);

void BM_BpeEncode_Baseline(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    for (const std::string& term : f.terms) benchmark::DoNotOptimize(encodeByScanning(*f.tokenizer, term));
  }
  state.SetItemsProcessed(state.iterations() * kTerms);
}
BENCHMARK(BM_BpeEncode_Baseline)->Unit(benchmark::kMillisecond);

constexpr int kVocabularyWidth = 1025;
constexpr int kBlankId = 1024;

// Log-softmax-like rows of random values, the term spoken twice.
const tesselaudio::CtcLogProbMatrix& spottingMatrix(int frames) {
  static const tesselaudio::CtcLogProbMatrix matrix = [frames] {
    std::mt19937 random(17);
    std::uniform_real_distribution<float> value(-40.0f, -20.0f);
    tesselaudio::CtcLogProbMatrix rows(static_cast<std::size_t>(frames), std::vector<float>(kVocabularyWidth));
    for (auto& row : rows) {
      for (float& v : row) v = value(random);
      row[kBlankId] = -0.1f;
    }
    for (int at : {frames / 3, 2 * frames / 3}) {
      for (int i = 0; i < 6; ++i) rows[static_cast<std::size_t>(at + i)][static_cast<std::size_t>(100 + i)] = -0.2f;
    }
    return rows;
  }();
  return matrix;
}

void BM_SpotTerm(benchmark::State& state) {
  const auto& matrix = spottingMatrix(static_cast<int>(state.range(0)));
  const std::vector<std::int64_t> term = {100, 101, 102, 103, 104, 105};
  if (tesselaudio::CtcDPAlgorithm::ctcWordSpotMultiple(matrix, term, -15, true, kBlankId).size() != 2) std::abort();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tesselaudio::CtcDPAlgorithm::ctcWordSpotMultiple(matrix, term, -15, true, kBlankId));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SpotTerm)->Arg(7500)->Unit(benchmark::kMicrosecond);

void BM_SpotTerm_Baseline(benchmark::State& state) {
  const auto& matrix = spottingMatrix(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    float sum = 0;
    for (const auto& row : matrix) {
      for (float v : row) sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SpotTerm_Baseline)->Arg(7500)->Unit(benchmark::kMicrosecond);

}  // namespace
