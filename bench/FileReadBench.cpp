// The file recogniser's reading side over 60 minutes of 48 kHz mono AAC: the whole of transcribe()
// with a recogniser that discards its input (48 to 16 kHz conversion included), reading one
// 16,384-frame chunk, and a seek to the middle of the file made good by a read. "rtf" is the time
// over the audio's duration.
#include <benchmark/benchmark.h>

#include <memory>
#include <stop_token>

#include "DevadEvev/FileTranscriber.h"
#include "platform/audio/AacFileWriter.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/speech/SpeechBackend.h"
#include "platform/speech/SpeechRecognition.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr double kRate = 48000;
constexpr int kMinutes = 60;
constexpr std::uint32_t kChunkFrames = 16384;

// A recogniser that takes every input and recognises nothing.
class DiscardingBackend : public platform::SpeechBackend {
  class Recognition : public platform::SpeechRecognition {
    void run(platform::Channel<platform::AnalyzerInput>::Receiver& inputs,
             const platform::Channel<platform::SpeechTranscriber::Result>::Sender&,
             std::stop_token stop) override {
      while (auto input = inputs.receive(stop)) benchmark::DoNotOptimize(input->buffer.get());
    }
  };

 public:
  std::optional<std::string> supportedLocale(const std::string&) override { return "ja_JP"; }
  bool assetsInstalled(const std::string&) override { return true; }
  void downloadAndInstall(const std::string&, std::stop_token) override {}
  std::optional<platform::AudioFormat> bestAvailableAudioFormat(
      const std::string&, const platform::SpeechTranscriber::Options&) override {
    return platform::AudioFormat::float32(16000, 1);
  }
  std::unique_ptr<platform::SpeechRecognition> prepare(const std::string&,
                                                       const platform::SpeechTranscriber::Options&,
                                                       const platform::AudioFormat&) override {
    return std::make_unique<Recognition>();
  }
};

// The hour-long recording, written once per run: a quiet tone, second by second.
struct Recording {
  Recording() {
    platform::AacFileWriter writer(path, {kRate, 1, 96000});
    const auto second = testsupport::floatBuffer(kRate, {testsupport::sine(440, kRate, 48000, 0.1f)});
    for (int s = 0; s < kMinutes * 60; ++s) writer.write(*second);
    writer.close();
  }
  testsupport::TemporaryFolder folder;
  std::filesystem::path path = folder / "hour.m4a";
};

const Recording& recording() {
  static const Recording once;
  return once;
}

void BM_FileTranscriberTranscribe(benchmark::State& state) {
  const auto& file = recording();
  platform::SpeechBackend::install(std::make_shared<DiscardingBackend>());
  const double seconds = kMinutes * 60.0;
  for (auto _ : state) {
    auto sentences = devadevev::FileTranscriber::transcribe(file.path, {{0, seconds}}, nullptr);
    benchmark::DoNotOptimize(sentences.data());
  }
  platform::SpeechBackend::install(nullptr);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(seconds * kRate));
  state.counters["rtf"] = benchmark::Counter(double(state.iterations()) * seconds,
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FileTranscriberTranscribe)->Unit(benchmark::kSecond);

void BM_AudioFileReadChunk(benchmark::State& state) {
  platform::AudioFile file(recording().path);
  auto chunk = platform::PcmBuffer::make(file.processingFormat(), kChunkFrames);
  file.setFramePosition(file.length() / 2);
  for (auto _ : state) {
    file.read(*chunk, kChunkFrames);
    if (chunk->frameLength() < kChunkFrames) {
      state.PauseTiming();
      file.setFramePosition(file.length() / 2);
      file.read(*chunk, 1);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(chunk->floatChannelData()[0]);
  }
  state.SetItemsProcessed(state.iterations() * kChunkFrames);
}
BENCHMARK(BM_AudioFileReadChunk)->Unit(benchmark::kMicrosecond);

void BM_AudioFileSeekToTheMiddle(benchmark::State& state) {
  platform::AudioFile file(recording().path);
  auto frame = platform::PcmBuffer::make(file.processingFormat(), 1);
  // Alternates between the middle and a point ten minutes before it, so that every read seeks.
  const std::int64_t targets[] = {file.length() / 2 + 12345,
                                  file.length() / 2 - static_cast<std::int64_t>(600 * kRate)};
  std::size_t next = 0;
  for (auto _ : state) {
    file.setFramePosition(targets[next]);
    file.read(*frame, 1);
    next ^= 1;
    benchmark::DoNotOptimize(frame->floatChannelData()[0]);
  }
}
BENCHMARK(BM_AudioFileSeekToTheMiddle)->Unit(benchmark::kMicrosecond);

}  // namespace
