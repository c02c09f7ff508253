// The audio front end against its baselines: resampling a long AAC file beside FFmpeg decoding the
// same file alone (one chunk of decode at a time keeps memory flat; the counter shows peak RSS
// growth), and resampling an in-memory array.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <vector>

#include "platform/audio/AudioFile.h"
#include "platform/audio/PcmBuffer.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace {

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// 10 minutes of 44.1 kHz stereo AAC, written once per process.
const std::filesystem::path& tenMinuteFile() {
  static testsupport::TemporaryFolder folder;
  static const std::filesystem::path path = [] {
    const auto path = folder / "ten-minutes.m4a";
    const std::size_t frames = 600 * 44100;
    testsupport::writeAac(path, 44100, {testsupport::sine(440, 44100, frames, 0.3f),
                                        testsupport::sine(660, 44100, frames, 0.3f)});
    return path;
  }();
  return path;
}

void BM_AudioFileDecodeAac10min(benchmark::State& state) {
  const auto& path = tenMinuteFile();
  for (auto _ : state) {
    platform::AudioFile file(path);
    auto buffer = platform::PcmBuffer::make(file.processingFormat(), 44100);
    std::int64_t frames = 0;
    for (;;) {
      file.read(*buffer, 44100);
      if (buffer->frameLength() == 0) break;
      frames += buffer->frameLength();
    }
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations() * 600 * 44100);
}
BENCHMARK(BM_AudioFileDecodeAac10min)->Unit(benchmark::kMillisecond);

void BM_AudioConverterResampleAac10min(benchmark::State& state) {
  const auto& path = tenMinuteFile();
  tesselaudio::AudioConverter converter;
  const long before = peakRssKiB();
  for (auto _ : state) benchmark::DoNotOptimize(converter.resampleAudioFile(path));
  state.SetItemsProcessed(state.iterations() * 600 * 44100);
  const double outputMiB = 600.0 * 16000 * sizeof(float) / (1024 * 1024);
  state.counters["rss_growth_MiB"] = static_cast<double>(peakRssKiB() - before) / 1024.0;
  state.counters["output_MiB"] = outputMiB;
}
BENCHMARK(BM_AudioConverterResampleAac10min)->Unit(benchmark::kMillisecond);

void BM_AudioConverterResampleArray60s(benchmark::State& state) {
  tesselaudio::AudioConverter converter;
  const std::vector<float> input = testsupport::sine(440, 48000, 60 * 48000);
  for (auto _ : state) benchmark::DoNotOptimize(converter.resample(input, 48000));
  state.SetItemsProcessed(state.iterations() * 60 * 48000);
}
BENCHMARK(BM_AudioConverterResampleArray60s)->Unit(benchmark::kMillisecond);

}  // namespace
