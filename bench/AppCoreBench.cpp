// Task extraction's own work on a 3-hour transcript (20,000 lines of about 40 characters), before
// any request leaves:
//   BM_ExtractChunking            cut the lines into 1,300-character chunks and build every
//                                 chunk's prompt (with a 40-line outline)
//   BM_ExtractChunking_Baseline   count the characters of the same lines once: the floor that
//                                 chunking adds to (target: at most 3 times it)
// Both walk each line once; the cost must grow linearly with the number of lines.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "app/Processing/TaskExtractor.h"
#include "platform/text/Graphemes.h"

namespace {

constexpr int kLines = 20000;

std::vector<std::string> transcript(int count) {
  static const char* const kTexts[] = {
      "来週の火曜までに見積書を三件送っておきます",
      "保守契約の更新について先方に確認します",
      "ランディングページの改善案をまとめて共有",
      "はい、その件は了解しました。進めてください",
  };
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int seconds = i * 3600 * 3 / count;
    lines.push_back(fmt::format("[{:02}:{:02}] 話者{}：{}", seconds / 60, seconds % 60, "ABCD"[i % 4],
                                kTexts[i % 4]));
  }
  return lines;
}

std::vector<std::string> outline() {
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i) lines.push_back(fmt::format("  - [ ] 見積書を{}件送る（話者A）（金曜）", i));
  return lines;
}

void BM_ExtractChunking(benchmark::State& state) {
  const auto lines = transcript(static_cast<int>(state.range(0)));
  const auto tasks = outline();
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const auto& chunk : veltovoice::TaskExtractor::chunks(lines, 1300)) {
      bytes += veltovoice::TaskExtractor::extractionPrompt(tasks, chunk).size();
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ExtractChunking)->Arg(kLines / 4)->Arg(kLines)->Unit(benchmark::kMillisecond);

void BM_ExtractChunking_Baseline(benchmark::State& state) {
  const auto lines = transcript(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::size_t characters = 0;
    for (const auto& line : lines) characters += platform::text::graphemeCount(line);
    benchmark::DoNotOptimize(characters);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ExtractChunking_Baseline)->Arg(kLines / 4)->Arg(kLines)->Unit(benchmark::kMillisecond);

}  // namespace
