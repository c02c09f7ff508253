// What the recording's hot paths cost: the tap thread's append() beside a plain copy of the same
// floats, encoding through the writer as a real-time factor, the rewrite of an hour's crash-safe
// recording in the ordinary form beside copying the same file, and AppLog::info() on the caller
// beside formatting the same line alone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "DevadEvev/RecordingWriter.h"
#include "app/Model/AppLog.h"
#include "platform/audio/FragmentedAac.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/FileIO.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace {

void BM_PlainCopy4096(benchmark::State& state) {
  std::vector<float> source(4096, 0.25f);
  for (auto _ : state) {
    std::vector<float> copy(4096);
    std::memcpy(copy.data(), source.data(), sizeof(float) * 4096);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_PlainCopy4096);

void BM_RecordingWriterAppend(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  devadevev::RecordingWriter writer(folder / "append.m4a");
  auto buffer = testsupport::floatBuffer(48000, {testsupport::sine(440, 48000, 4096)});
  std::int64_t appended = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    writer.append(*buffer);
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    // A tap delivers one buffer every 85 ms: let the writer catch up, as it does while recording.
    appended += 4096;
    while (writer.framesWritten() < appended) std::this_thread::yield();
  }
  writer.finish();
  state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_RecordingWriterAppend)->UseManualTime();

// Real-time factor = seconds per iteration ÷ the seconds of audio (Arg).
void BM_RecordingWriterEncode(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto seconds = static_cast<std::size_t>(state.range(0));
  const std::vector<float> signal = testsupport::sine(440, 48000, seconds * 48000);
  std::vector<std::unique_ptr<platform::PcmBuffer>> buffers;
  for (std::size_t start = 0; start < signal.size(); start += 4096) {
    const std::size_t end = std::min(signal.size(), start + 4096);
    buffers.push_back(testsupport::floatBuffer(
        48000, {std::vector<float>(signal.begin() + start, signal.begin() + end)}));
  }
  double elapsed = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    devadevev::RecordingWriter writer(folder / "encode.m4a");
    for (const auto& buffer : buffers) writer.append(*buffer);
    benchmark::DoNotOptimize(writer.finish());
    elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(signal.size()));
  state.counters["rtf"] = elapsed / (static_cast<double>(state.iterations()) * static_cast<double>(seconds));
}
BENCHMARK(BM_RecordingWriterEncode)->Arg(60)->Unit(benchmark::kMillisecond)->UseRealTime();

// An hour of audio in the crash-safe form, as a recording stopped by a crash leaves it; made once.
const std::filesystem::path& hourInCrashSafeForm() {
  static testsupport::TemporaryFolder folder;
  static const std::filesystem::path path = [] {
    const std::filesystem::path cut = folder / "hour.m4a";
    std::vector<float> minute = testsupport::chirp(200, 6000, 48000, 60 * 48000);
    std::vector<float> hour;
    hour.reserve(minute.size() * 60);
    for (int i = 0; i < 60; ++i) hour.insert(hour.end(), minute.begin(), minute.end());
    testsupport::writeCutOffRecording(cut, hour);
    return cut;
  }();
  return path;
}

// Stopping a recording rewrites its file in the ordinary form; compare with BM_CopyFile60min.
void BM_RecordingFinalize60min(benchmark::State& state) {
  const std::filesystem::path& source = hourInCrashSafeForm();
  testsupport::TemporaryFolder folder;
  const std::filesystem::path work = folder / "work.m4a";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(source, work, std::filesystem::copy_options::overwrite_existing);
    state.ResumeTiming();
    benchmark::DoNotOptimize(platform::FragmentedAac::rewriteInOrdinaryForm(work));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(source)));
}
BENCHMARK(BM_RecordingFinalize60min)->Unit(benchmark::kMillisecond)->UseRealTime();

// The baseline: the same file copied through a temporary file, flushed and renamed.
void BM_CopyFile60min(benchmark::State& state) {
  const std::filesystem::path& source = hourInCrashSafeForm();
  testsupport::TemporaryFolder folder;
  for (auto _ : state) platform::copyFileAtomically(source, folder / "copy.m4a");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(source)));
}
BENCHMARK(BM_CopyFile60min)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AppLogFormatLine(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltovoice::AppLog::formatLine(
        "INFO", veltovoice::AppLog::version(), std::chrono::system_clock::now(),
        "保存しました: 会話 F0E1D2C3-0000-4000-8000-000000000001"));
  }
}
BENCHMARK(BM_AppLogFormatLine);

// Arg 0: the real system log (a syslog(3) call on the caller, as the log requires); Arg 1: a
// sink that drops records, leaving what the log itself costs the caller.
void BM_AppLogInfo(benchmark::State& state) {
  static testsupport::TemporaryFolder folder;
  setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
  std::optional<testsupport::SystemLogCapture> capture;
  if (state.range(0) == 1) {
    capture.emplace();
    capture->setEnabled(platform::SystemLog::Level::info, false);
  }
  for (auto _ : state) veltovoice::AppLog::info("保存しました: 会話 F0E1D2C3-0000-4000-8000-000000000001");
  veltovoice::AppLog::flush();
}
BENCHMARK(BM_AppLogInfo)->Arg(0)->Arg(1);

}  // namespace
