// CTC decoding costs:
//   BM_BeamSearch/<frames>            prefix beam search over frames of 1,025 ids (width 8, 8 candidates)
//                                     with a bigram model of 5,000 words ...
//   BM_BeamSearch_Baseline/<frames>   ... beside greedy decoding of the same matrix.
//   BM_ArpaLoad                       loading a 20 MB ARPA file ...
//   BM_ArpaLoad_Baseline              ... beside reading its lines with std::getline and nothing else.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeamSearch.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"

namespace {

using tesselaudio::ARPALanguageModel;

constexpr int kVocabularySize = 1025;
constexpr int kBlank = 0;
constexpr int kWords = 5000;

// Ids 1 to 512 start a word ("▁p<i>"), ids 513 to 1024 go on one ("s<i>").
const std::map<int, std::string>& vocabulary() {
  static const auto pieces = [] {
    std::map<int, std::string> v;
    for (int id = 1; id < kVocabularySize; ++id) {
      v[id] = id <= 512 ? "\u2581p" + std::to_string(id) : "s" + std::to_string(id);
    }
    return v;
  }();
  return pieces;
}

// Distinct for every i below 512 × 512, and made of one piece of each kind.
std::string word(int i) { return "p" + std::to_string(1 + i % 512) + "s" + std::to_string(513 + (i / 512 + i) % 512); }

const ARPALanguageModel& languageModel() {
  static const auto lm = [] {
    ARPALanguageModel model;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> logProb(-6, -1);
    for (int i = 0; i < kWords; ++i) model.unigrams[word(i)] = {logProb(random), logProb(random) / 4};
    std::uniform_int_distribution<int> any(0, kWords - 1);
    for (int i = 0; i < 5 * kWords; ++i) model.bigrams[word(any(random))][word(any(random))] = {logProb(random), 0};
    return model;
  }();
  return lm;
}

// Log-softmax frames of random logits, each with a clear winner: the blank two times in three.
std::vector<std::vector<float>> ctcFrames(int count) {
  std::mt19937 random(11);
  std::normal_distribution<float> logit(0, 1);
  std::uniform_int_distribution<int> token(1, kVocabularySize - 1);
  std::uniform_int_distribution<int> third(0, 2);
  std::vector<std::vector<float>> frames(count, std::vector<float>(kVocabularySize));
  for (auto& frame : frames) {
    for (auto& value : frame) value = logit(random);
    frame[third(random) == 0 ? token(random) : kBlank] += 8;
    double sum = 0;
    for (const float value : frame) sum += std::exp(value);
    const auto logSum = static_cast<float>(std::log(sum));
    for (auto& value : frame) value -= logSum;
  }
  return frames;
}

void BM_BeamSearch(benchmark::State& state) {
  const auto frames = ctcFrames(static_cast<int>(state.range(0)));
  const auto& lm = languageModel();
  for (auto _ : state) {
    auto text = tesselaudio::ctcBeamSearch(frames, vocabulary(), &lm, 8, 0.5F, 1.0F, kBlank, 8);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BeamSearch)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_BeamSearch_Baseline(benchmark::State& state) {
  const auto frames = ctcFrames(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto text = tesselaudio::ctcGreedyDecode(frames, vocabulary(), kBlank);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BeamSearch_Baseline)->Arg(1000)->Unit(benchmark::kMillisecond);

// The log10 value of entry `i` with seven decimals, as ARPA tools write them.
std::string arpaValue(int i) { return "-" + std::to_string(1 + i % 5) + "." + std::to_string(1000000 + (static_cast<int64_t>(i) * 7919) % 9000000); }

// A 20 MB ARPA file of a 5,000-word bigram model as tools write one: every word a unigram with a
// back-off, then about 150 bigrams per previous word, grouped by it. Written once, removed at exit.
class ArpaFile {
 public:
  ArpaFile()
      : path_(std::filesystem::temp_directory_path() / ("ctc_decode_bench_" + std::to_string(::getpid()) + ".arpa")) {
    std::string text = "\\data\\\nngram 1=" + std::to_string(kWords) + "\n\n\\1-grams:\n";
    for (int i = 0; i < kWords; ++i) text += arpaValue(i) + "\t" + word(i) + "\t" + arpaValue(i + 1) + "\n";
    text += "\\2-grams:\n";
    constexpr int kPerWord = 150;
    for (int i = 0; text.size() < 20'000'000; ++i) {
      const int previous = (i / kPerWord) % kWords;
      const int next = ((i % kPerWord) * 23 + previous) % kWords;
      text += arpaValue(i) + "\t" + word(previous) + "\t" + word(next) + "\n";
    }
    text += "\\end\\\n";
    std::ofstream(path_, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  ~ArpaFile() { std::filesystem::remove(path_); }

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const std::filesystem::path& arpaPath() {
  static const ArpaFile file;
  return file.path();
}

void BM_ArpaLoad(benchmark::State& state) {
  const auto& path = arpaPath();
  for (auto _ : state) {
    auto model = std::make_unique<ARPALanguageModel>(ARPALanguageModel::load(path));
    benchmark::DoNotOptimize(model->bigrams.size());
    // Freeing the entries is no part of loading them.
    state.PauseTiming();
    model.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_ArpaLoad)->Unit(benchmark::kMillisecond);

void BM_ArpaLoad_Baseline(benchmark::State& state) {
  const auto& path = arpaPath();
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    size_t lines = 0;
    while (std::getline(in, line)) ++lines;
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_ArpaLoad_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
