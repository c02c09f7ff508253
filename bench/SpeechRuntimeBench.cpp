// Speech runtime costs:
//   BM_AudioMelSpectrogramCenter/<s>   standard diarizer features over s seconds of 16 kHz audio;
//                                      the "rtf" counter is seconds of audio per second of work.
//   BM_AppLoggerSuppressed             a debug message below the minimum level ...
//   BM_MutexLockUnlock                 ... beside the uncontended mutex pair it should stay near.
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace {

using tesselaudio::AppLogger;
using tesselaudio::AudioMelSpectrogram;

constexpr int kSampleRate = 16000;

std::vector<float> chirp(int samples) {
  std::vector<float> out(samples);
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    out[i] = static_cast<float>(0.4 * std::sin(2 * 3.141592653589793 * (200 * t + 40 * t * t)));
  }
  return out;
}

void BM_AudioMelSpectrogramCenter(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  const std::vector<float> audio = chirp(seconds * kSampleRate);
  AudioMelSpectrogram mel(kSampleRate, 128, 512, 160, 400, AudioMelSpectrogram::defaultPreemph, 1,
                          0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive, false);
  benchmark::DoNotOptimize(mel.computeFlatTransposed(audio, 0.0f));
  for (auto _ : state) {
    auto result = mel.computeFlatTransposed(audio, 0.0f);
    benchmark::DoNotOptimize(result.mel.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(audio.size()));
  state.counters["rtf"] = benchmark::Counter(static_cast<double>(seconds) * state.iterations(),
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AudioMelSpectrogramCenter)->Arg(1)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

void BM_AppLoggerSuppressed(benchmark::State& state) {
  AppLogger::setMinimumLevel(AppLogger::Level::info);
  const AppLogger logger("Bench");
  for (auto _ : state) logger.debug("suppressed");
  AppLogger::setMinimumLevel(AppLogger::Level::debug);
}
BENCHMARK(BM_AppLoggerSuppressed);

void BM_MutexLockUnlock(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_MutexLockUnlock);

const bool kHostNoted = [] {
  benchmark::AddCustomContext("hardware_threads",
                              std::to_string(std::thread::hardware_concurrency()));
  return true;
}();

}  // namespace
