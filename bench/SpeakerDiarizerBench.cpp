// The application's speaker diarizer.
//
// BM_DiarizeRanges: two 5-minute ranges ([0 s, 300 s) and [300 s, 600 s)) of a 10-minute AAC
//   recording at 48 kHz with four speakers taking turns, diarized with the band-oracle stand-in
//   model from a models folder that already holds it: model load, frame-accurate reading,
//   conversion to 16 kHz, the whole-recording run and the placement in file time.
//   RTF = time ÷ 600 s of joined audio; peakMB = the peak resident memory during the call, the
//   ten minutes of joined audio and their mel features included.
//   callMB = what the call added to the resident memory it started with.
// BM_Append: what the audio tap pays for half a second of 480-sample buffers (10 ms at 48 kHz):
//   the lock and the copy into the pending samples, between drains as the timer makes them.
// BM_Append_Baseline: a memcpy of the same buffers into a vector reserved in advance.

#include <chrono>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "DevadEvev/SpeakerDiarizer.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

constexpr double kRate = 48000;
constexpr double kJoinedSeconds = 600;
constexpr std::size_t kTapBuffer = 480;
// Tap buffers between two drains: half a second of 10 ms buffers.
constexpr int kBuffersPerDrain = 50;

// Resets the kernel's peak resident-set mark so that the next read measures from now.
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

double statusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  }
  return 0;
}

double peakRssMiB() { return statusMiB("VmHWM:"); }
double currentRssMiB() { return statusMiB("VmRSS:"); }

// Ten minutes: each slot talks for 5 s in turn, from 5-second clips made once per slot.
std::vector<float> tenMinutes() {
  std::vector<std::vector<float>> clips;
  for (int slot = 0; slot < 4; ++slot) {
    clips.push_back(testsupport::sortformerBandAudio(slot, static_cast<std::size_t>(5 * kRate),
                                                      static_cast<unsigned>(slot + 1), kRate));
  }
  std::vector<float> audio;
  audio.reserve(static_cast<std::size_t>(600 * kRate));
  for (int turn = 0; turn < 600 / 5; ++turn) {
    const auto& clip = clips[static_cast<std::size_t>(turn % 4)];
    audio.insert(audio.end(), clip.begin(), clip.end());
  }
  return audio;
}

void BM_DiarizeRanges(benchmark::State& state) {
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  testsupport::TemporaryFolder folder;
  const auto models = folder.path() / "Models";
  testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), models);
  const auto file = folder.path() / "recording.m4a";
  testsupport::writeAac(file, kRate, {tenMinutes()}, 96000);
  const std::vector<SpeakerDiarizer::Range> ranges{{0, 300}, {300, 600}};

  double seconds = 0;
  double peak = 0;
  double before = 0;
  for (auto _ : state) {
    before = currentRssMiB();
    resetPeakRss();
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(SpeakerDiarizer::diarize(file, ranges, models, {}));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peak = std::max(peak, peakRssMiB());
  }
  state.counters["RTF"] = seconds / (static_cast<double>(state.iterations()) * kJoinedSeconds);
  state.counters["peakMB"] = peak;
  // What the call itself added: the joined audio, its copy in the diarizer and its mel features.
  state.counters["callMB"] = peak - before;
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kJoinedSeconds * 16000));
}
BENCHMARK(BM_DiarizeRanges)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Opens the queue's drain to the benchmark.
class DrainedDiarizer : public SpeakerDiarizer {
 public:
  using SpeakerDiarizer::drainNow;
};

// Each iteration is half a second of tap buffers, timed by hand; between iterations the pending
// samples are drained as the timer does (with rate 0, so that they are dropped: no model runs here),
// which leaves the pending buffer its capacity as in a recording.
void BM_Append(benchmark::State& state) {
  const auto buffer = testsupport::sortformerBandAudio(1, kTapBuffer, 1, kRate);
  DrainedDiarizer diarizer;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBuffersPerDrain; ++i) diarizer.append(buffer, kRate);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    diarizer.append({}, 0);
    diarizer.drainNow();
  }
  state.SetItemsProcessed(state.iterations() * kBuffersPerDrain * static_cast<std::int64_t>(kTapBuffer));
}
BENCHMARK(BM_Append)->UseManualTime();

void BM_Append_Baseline(benchmark::State& state) {
  const auto buffer = testsupport::sortformerBandAudio(1, kTapBuffer, 1, kRate);
  std::vector<float> pending;
  pending.reserve(kTapBuffer * kBuffersPerDrain);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBuffersPerDrain; ++i) {
      const std::size_t at = pending.size();
      pending.resize(at + kTapBuffer);
      std::memcpy(pending.data() + at, buffer.data(), kTapBuffer * sizeof(float));
    }
    benchmark::DoNotOptimize(pending.data());
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    pending.clear();
  }
  state.SetItemsProcessed(state.iterations() * kBuffersPerDrain * static_cast<std::int64_t>(kTapBuffer));
}
BENCHMARK(BM_Append_Baseline)->UseManualTime();

}  // namespace
}  // namespace devadevev
