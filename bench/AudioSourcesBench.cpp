// Sample sources and the audio stream against their baselines:
//   - copying 1 M samples out of a mapped 16-bit WAV (converted on every read) beside a memcpy of
//     the same number of floats;
//   - opening a mapped WAV of 1 MiB and a sparse one of 1 GiB through the factory: only headers are
//     read, so the two should cost about the same;
//   - one hour of 16 kHz audio written in 20 ms blocks and pulled as 1 s chunks 0.5 s apart; the
//     "realtime" counter is seconds of audio per second of wall time.
#include <benchmark/benchmark.h>


#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "speech/Shared/AudioSourceFactory.h"
#include "speech/Shared/AudioStream.h"
#include "speech/Shared/AudioWAV.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr std::int64_t kMillion = 1 << 20;

testsupport::TemporaryFolder& scratch() {
  static testsupport::TemporaryFolder folder;
  return folder;
}

// A mono 16 kHz WAV file of `bytes` bytes in all; past the first samples it is a hole in the file.
std::filesystem::path sparseWav(std::int64_t bytes) {
  const auto path = scratch() / ("sparse-" + std::to_string(bytes) + ".wav");
  if (std::filesystem::exists(path)) return path;
  auto image = tesselaudio::AudioWAV::data(testsupport::sine(440, 16000, 16000), 16000, false);
  const auto dataSize = static_cast<std::uint32_t>(bytes - 44);
  std::memcpy(image.data() + 40, &dataSize, 4);
  const auto riffSize = static_cast<std::uint32_t>(bytes - 8);
  std::memcpy(image.data() + 4, &riffSize, 4);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                              static_cast<std::streamsize>(image.size()));
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(bytes));
  return path;
}

void BM_DiskBackedAudioSampleSourceCopySamplesPcm16(benchmark::State& state) {
  const auto path = scratch() / "one-million.wav";
  const auto image = tesselaudio::AudioWAV::data(testsupport::sine(440, 16000, kMillion), 16000, false);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                              static_cast<std::streamsize>(image.size()));
  const auto [source, loadDuration] = tesselaudio::AudioSourceFactory().makeDiskBackedSource(path, 16000);
  std::vector<float> destination(kMillion);
  source.copySamples(destination.data(), 0, kMillion);  // pages in
  for (auto _ : state) {
    source.copySamples(destination.data(), 0, kMillion);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kMillion);
}
BENCHMARK(BM_DiskBackedAudioSampleSourceCopySamplesPcm16);

void BM_MemcpyFloats(benchmark::State& state) {
  std::vector<float> source(kMillion, 0.5f);
  std::vector<float> destination(kMillion);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), sizeof(float) * kMillion);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kMillion);
}
BENCHMARK(BM_MemcpyFloats);

void BM_AudioSourceFactoryOpenMappedWav(benchmark::State& state) {
  const auto path = sparseWav(state.range(0));
  const tesselaudio::AudioSourceFactory factory;
  for (auto _ : state) {
    auto result = factory.makeDiskBackedSource(path, 16000);
    benchmark::DoNotOptimize(result.source.sampleCount());
  }
}
BENCHMARK(BM_AudioSourceFactoryOpenMappedWav)->Arg(1 << 20)->Arg(1 << 30)->Unit(benchmark::kMicrosecond);

void BM_AudioStream1h(benchmark::State& state) {
  constexpr std::int64_t kSeconds = 3600;
  constexpr std::int64_t kBlock = 320;  // 20 ms
  const std::vector<float> block = testsupport::sine(440, 16000, kBlock);
  for (auto _ : state) {
    tesselaudio::AudioStream stream(1.0, 0.5, 0.0, tesselaudio::AudioStreamChunkingStrategy::useFixedSkip,
                                    tesselaudio::AudioStreamStartupStrategy::waitForFullChunk, 16000);
    std::int64_t chunks = 0;
    for (std::int64_t written = 0; written < kSeconds * 16000; written += kBlock) {
      stream.write(block);
      while (auto chunk = stream.readChunkIfAvailable()) {
        benchmark::DoNotOptimize(chunk->chunk.data());
        ++chunks;
      }
    }
    benchmark::DoNotOptimize(chunks);
  }
  state.SetItemsProcessed(state.iterations() * kSeconds * 16000);
  state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations() * kSeconds),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AudioStream1h)->Unit(benchmark::kMillisecond);

}  // namespace
