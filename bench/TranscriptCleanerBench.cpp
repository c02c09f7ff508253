// The acceptance check of the transcript clean-up runs on the GUI thread, once per answered line:
//   BM_Distance            edit distance over user-perceived characters of two Japanese lines
//                          (5,000 characters each, about one in eight changed)
//   BM_Distance_Baseline   a plain two-row Levenshtein over the code points of the same texts,
//                          decoding included: the floor (target: BM_Distance at most 1.5 times it)
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/Processing/TranscriptCleaner.h"
#include "platform/text/Scalars.h"

namespace {

constexpr int kCharacters = 5000;
constexpr unsigned kSeed = 20261211;

struct Texts {
  std::string original;
  std::string corrected;
};

const Texts& texts() {
  static const Texts made = [] {
    const std::vector<std::string> pool = {"あ", "い", "う", "え", "お", "か", "き", "く", "会", "議",
                                           "の", "予", "算", "案", "を", "確", "認", "し", "ま", "す",
                                           "、", "。", "田", "中", "が\u3099", "👍🏽"};
    std::mt19937 random(kSeed);
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<int> change(0, 7);
    Texts result;
    for (int i = 0; i < kCharacters; ++i) {
      const std::string& character = pool[pick(random)];
      result.original += character;
      result.corrected += change(random) == 0 ? pool[pick(random)] : character;
    }
    return result;
  }();
  return made;
}

int codePointDistance(const std::u32string& a, const std::u32string& b) {
  std::vector<int> previous(b.size() + 1);
  std::vector<int> current(b.size() + 1);
  std::iota(previous.begin(), previous.end(), 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    current[0] = static_cast<int>(i + 1);
    for (std::size_t j = 0; j < b.size(); ++j) {
      current[j + 1] = std::min({previous[j + 1] + 1, current[j] + 1, previous[j] + (a[i] == b[j] ? 0 : 1)});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

void BM_Distance(benchmark::State& state) {
  const Texts& t = texts();
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltovoice::TranscriptCleaner::distance(t.original, t.corrected));
  }
  state.SetItemsProcessed(state.iterations() * kCharacters);
}
BENCHMARK(BM_Distance)->Unit(benchmark::kMillisecond);

void BM_Distance_Baseline(benchmark::State& state) {
  const Texts& t = texts();
  for (auto _ : state) {
    const std::u32string a = *platform::text::unicodeScalars(t.original);
    const std::u32string b = *platform::text::unicodeScalars(t.corrected);
    benchmark::DoNotOptimize(codePointDistance(a, b));
  }
  state.SetItemsProcessed(state.iterations() * kCharacters);
}
BENCHMARK(BM_Distance_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
