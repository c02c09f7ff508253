// What opening a long recording for playback costs beside decoding it whole: AudioPlayback::load()
// of a two-hour AAC file reads headers only, so it must stay a small share of one full decode.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include <QCoreApplication>

#include "app/Editor/AudioPlayback.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/PcmBuffer.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr int kMinutes = 120;

void check(int status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string("bench recording: ") + what);
}

// Writes `times` copies of the AAC packets of `from` back to back into `to`, so that an hour of
// recording costs one minute of encoding.
void repeatPackets(const std::filesystem::path& from, const std::filesystem::path& to, int times) {
  AVFormatContext* input = nullptr;
  check(avformat_open_input(&input, from.c_str(), nullptr, nullptr), "open");
  check(avformat_find_stream_info(input, nullptr), "stream info");
  AVFormatContext* output = nullptr;
  check(avformat_alloc_output_context2(&output, nullptr, nullptr, to.c_str()), "output");
  AVStream* stream = avformat_new_stream(output, nullptr);
  check(avcodec_parameters_copy(stream->codecpar, input->streams[0]->codecpar), "parameters");
  stream->time_base = input->streams[0]->time_base;
  check(avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE), "create");
  check(avformat_write_header(output, nullptr), "header");
  AVPacket* packet = av_packet_alloc();
  std::int64_t offset = 0;
  for (int copy = 0; copy < times; ++copy) {
    check(av_seek_frame(input, 0, 0, AVSEEK_FLAG_BACKWARD), "rewind");
    std::int64_t end = 0;
    while (av_read_frame(input, packet) >= 0) {
      end = std::max(end, packet->pts + packet->duration);
      packet->pts += offset;
      packet->dts += offset;
      av_packet_rescale_ts(packet, input->streams[0]->time_base, stream->time_base);
      packet->stream_index = 0;
      check(av_interleaved_write_frame(output, packet), "write");
    }
    offset += end;
  }
  av_packet_free(&packet);
  check(av_write_trailer(output), "trailer");
  avio_closep(&output->pb);
  avformat_free_context(output);
  avformat_close_input(&input);
}

// The two-hour recording, made once per run.
const std::filesystem::path& twoHourRecording() {
  static testsupport::TemporaryFolder folder;
  static const std::filesystem::path path = [] {
    const auto minute = folder / "minute.m4a";
    testsupport::writeAac(minute, 48000, {testsupport::sine(440, 48000, 60 * 48000, 0.2f)}, 96000);
    const auto hours = folder / "two-hours.m4a";
    repeatPackets(minute, hours, kMinutes);
    return hours;
  }();
  return path;
}

QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "player_bench";
  static char* argv[] = {name, nullptr};
  static auto* app = new QCoreApplication(argc, argv);
  return *app;
}

std::optional<double> decodeSeconds;

double decodeWhole(const std::filesystem::path& path, std::int64_t& frames) {
  const auto start = std::chrono::steady_clock::now();
  platform::AudioFile file(path);
  auto buffer = platform::PcmBuffer::make(file.processingFormat(), 8192);
  frames = 0;
  for (;;) {
    file.read(*buffer, buffer->frameCapacity());
    if (buffer->frameLength() == 0) break;
    frames += buffer->frameLength();
  }
  benchmark::DoNotOptimize(frames);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_AudioFileDecodeWhole(benchmark::State& state) {
  const auto& path = twoHourRecording();
  std::int64_t frames = 0;
  for (auto _ : state) {
    const double seconds = decodeWhole(path, frames);
    state.SetIterationTime(seconds);
    decodeSeconds = seconds;
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_AudioFileDecodeWhole)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// loadShareOfDecode = one load() ÷ one whole decode of the same file; the goal is at most 0.05.
void BM_AudioPlaybackLoad(benchmark::State& state) {
  application();
  const auto& path = twoHourRecording();
  if (!decodeSeconds) {
    std::int64_t frames = 0;
    decodeSeconds = decodeWhole(path, frames);
  }
  double elapsed = 0;
  double recordingSeconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    veltovoice::AudioPlayback playback;
    playback.load(path);
    recordingSeconds = playback.duration();
    elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!playback.loaded()) state.SkipWithError("the recording did not load");
  }
  const double perLoad = elapsed / static_cast<double>(state.iterations());
  state.counters["loadShareOfDecode"] = perLoad / *decodeSeconds;
  state.counters["decodeSeconds"] = *decodeSeconds;
  state.counters["recordingSeconds"] = recordingSeconds;
}
BENCHMARK(BM_AudioPlaybackLoad)->Unit(benchmark::kMillisecond);

}  // namespace
