// The English streaming Nemotron recogniser's chunk step over stand-ins at the real geometry (mel
// 128 × 233, caches [1, 24, 70, 1024] and [1, 24, 1024, 8], 2240 ms chunks).
//
// BM_NemotronChunk: 100 consecutive chunks of one stream through processChunk. Counters: ratio =
//   mean time of chunks 91–100 ÷ mean time of chunks 1–10 (target ≤ 1.2: the caches are replaced,
//   never accumulated, and each chunk makes one encoder call), RTF = mean chunk time ÷ 2.24 s
//   (reported only). Times are the calling thread's CPU time; wall_ratio is the ratio in wall time and
//   median_ratio the ratio of the medians, which single stalls of a busy host do not move.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronAsrManager.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

constexpr int kChunks = 100;

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(const std::vector<double>& values, int from, int to) {
  std::vector<double> part(values.begin() + from, values.begin() + to);
  std::nth_element(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(part.size() / 2), part.end());
  return part[part.size() / 2];
}

double mean(const std::vector<double>& values, int from, int to) {
  double sum = 0;
  for (int i = from; i < to; ++i) sum += values[static_cast<std::size_t>(i)];
  return sum / (to - from);
}

void BM_NemotronChunk(benchmark::State& state) {
  AppLogger::setMirrorsToConsole(false);
  testsupport::TemporaryFolder folder;
  testsupport::NemotronStandIn standIn;
  standIn.cacheChannelShape = {1, 24, 70, 1024};
  standIn.cacheTimeShape = {1, 24, 1024, 8};
  standIn.decoderHidden = 640;
  standIn.frames = 28;
  standIn.levels = {{-10, {testsupport::nemotronTokenFrame(0), testsupport::nemotronBlankFrame(),
                           testsupport::nemotronTokenFrame(1), testsupport::nemotronTokenFrame(2)}}};
  const auto models = testsupport::writeNemotronModelFolder(
      folder.path() / "models", standIn, R"({"0": "▁he", "1": "llo", "2": "▁wor", "3": "ld"})",
      testsupport::nemotronMetadata(standIn, 224, 2240));
  StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
  engine.loadModels(models);

  std::vector<std::vector<float>> chunks;
  std::mt19937 random(5);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  for (int c = 0; c < 4; ++c) {
    std::vector<float> chunk(35840);
    for (float& s : chunk) s = c % 2 ? uniform(random) : 0.01f * uniform(random);
    chunks.push_back(std::move(chunk));
  }

  std::vector<double> cpu(kChunks), wall(kChunks);
  for (auto _ : state) {
    engine.reset();
    for (int i = 0; i < kChunks; ++i) {
      const auto& chunk = chunks[static_cast<std::size_t>(i) % chunks.size()];
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = threadCpuSeconds();
      engine.processChunk(chunk, 0);
      cpu[static_cast<std::size_t>(i)] += threadCpuSeconds() - cpuStart;
      wall[static_cast<std::size_t>(i)] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  }
  state.counters["ratio"] = mean(cpu, 90, 100) / mean(cpu, 0, 10);
  state.counters["median_ratio"] = median(cpu, 90, 100) / median(cpu, 0, 10);
  state.counters["wall_ratio"] = mean(wall, 90, 100) / mean(wall, 0, 10);
  state.counters["RTF"] = mean(wall, 0, kChunks) / static_cast<double>(state.iterations()) / 2.24;
  state.counters["chunk_ms"] = mean(wall, 0, kChunks) / static_cast<double>(state.iterations()) * 1000;
}

BENCHMARK(BM_NemotronChunk)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace tesselaudio
