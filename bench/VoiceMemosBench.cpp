// What reading Voice Memos files costs:
//   BM_TranscriptRead/<MiB>      the stored transcript of a file whose media data (a sparse 'mdat'
//                                of 1 MiB or 1 GiB) comes before the movie atom: the cost must not
//                                grow with the media, which is skipped by seeking.
//   BM_FindRecording             the recording finder over a folder of 5,000 stamped names.
//   BM_FindRecording_Baseline    a bare listing of the same folder.
// Files go to a temporary folder; HOME points there so that the finder never sees the user's own.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "app/VoiceMemos/VoiceMemosController.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "voicememos/Transcript.h"

namespace {

using namespace testsupport;

TemporaryFolder& scratch() {
  static TemporaryFolder folder;
  return folder;
}

std::filesystem::path fileWithMedia(std::uint64_t mediaBytes) {
  const auto path = scratch() / fmt::format("media-{}.m4a", mediaBytes);
  if (std::filesystem::exists(path)) return path;
  writeFile(path, join({atom("ftyp", raw("M4A ")), be32(1), raw("mdat"), be64(16 + mediaBytes)}));
  std::filesystem::resize_file(path, std::filesystem::file_size(path) + mediaBytes);
  const Bytes moov = atom(
      "moov", {mvhd(48000, 48000 * 60),
               atom("trak", {atom("udta", {atom("tsrp", raw(R"({"attributedString":["今日は",{"timeRange":[0,1.5]}]})"))})})});
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(moov.data()), static_cast<std::streamsize>(moov.size()));
  return path;
}

void BM_TranscriptRead(benchmark::State& state) {
  const auto path = fileWithMedia(static_cast<std::uint64_t>(state.range(0)) << 20);
  for (auto _ : state) {
    benchmark::DoNotOptimize(voicememos::Transcript::contentsOf(path));
  }
}
BENCHMARK(BM_TranscriptRead)->Arg(1)->Arg(1024);

std::filesystem::path recordingsWithNames(int count) {
  static bool made = false;
  const auto home = scratch() / "home";
  ::setenv("HOME", home.c_str(), 1);
  const auto folder = veltovoice::VoiceMemosController::recordingsFolder();
  if (!made) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
      const int day = 1 + i % 28, hour = i / 28 % 24, minute = i % 60;
      std::ofstream(folder / fmt::format("202501{:02d} {:02d}{:02d}00.m4a", day, hour, minute));
    }
    made = true;
  }
  return folder;
}

void BM_FindRecording(benchmark::State& state) {
  recordingsWithNames(5000);
  // Mid-month, so that a few hundred stamps lie within a day of it.
  const double near = std::chrono::duration<double>(
                          std::chrono::sys_days{std::chrono::year{2025} / 1 / 15} -
                          std::chrono::sys_days{std::chrono::year{2001} / 1 / 1})
                          .count() +
                      12 * 3600.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltovoice::VoiceMemosController::findRecording(near, 30));
  }
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_FindRecording);

void BM_FindRecording_Baseline(benchmark::State& state) {
  const auto folder = recordingsWithNames(5000);
  for (auto _ : state) {
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      benchmark::DoNotOptimize(entry.path());
      ++entries;
    }
    benchmark::DoNotOptimize(entries);
  }
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_FindRecording_Baseline);

}  // namespace
