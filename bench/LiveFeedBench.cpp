// The live recogniser's tap path for one 4096-frame 48 kHz buffer: gate, recording writer append,
// samples and level callbacks, 48 to 16 kHz conversion and the push to the analyzer, beside a
// plain copy of the same buffer. "rtf" is the time per buffer over the buffer's 85 ms of audio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/RecordingWriter.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "platform/audio/PcmBuffer.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr std::uint32_t kFrames = 4096;
constexpr double kRate = 48000;

void reportRealTimeFactor(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.counters["rtf"] = benchmark::Counter(
      double(state.iterations()) * kFrames / kRate,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PlainCopyOfTapBuffer(benchmark::State& state) {
  auto source = testsupport::floatBuffer(kRate, {testsupport::sine(440, kRate, kFrames)});
  for (auto _ : state) {
    auto copy = platform::PcmBuffer::make(source->format(), kFrames);
    std::memcpy(copy->floatChannelData()[0], source->floatChannelData()[0], sizeof(float) * kFrames);
    copy->setFrameLength(kFrames);
    benchmark::DoNotOptimize(copy->floatChannelData()[0]);
  }
  reportRealTimeFactor(state);
}
BENCHMARK(BM_PlainCopyOfTapBuffer);

void BM_LiveTranscriberFeed(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  testsupport::ScriptedSpeechBackend::Installation backend(
      std::make_shared<testsupport::ScriptedSpeechBackend>(std::vector<std::string>{"はい。"}));
  devadevev::LiveTranscriber live(std::make_unique<platform::AudioEngine>(
      std::make_unique<platform::GeneratorAudioInput>(kRate, 1, 0, nullptr)));
  live.setRecorder(std::make_shared<devadevev::RecordingWriter>(folder / "feed.m4a"));
  std::vector<float> kept(kFrames);
  float level = 0;
  live.setOnSamples([&](std::span<const float> samples, double) {
    std::memcpy(kept.data(), samples.data(), samples.size_bytes());
  });
  live.setOnLevel([&](float value) { level = value; });
  live.prepare(nullptr, nullptr, nullptr);
  live.setAccepting(true);
  auto buffer = testsupport::floatBuffer(kRate, {testsupport::sine(440, kRate, kFrames, 0.3f)});
  for (auto _ : state) {
    live.feed(*buffer);
    benchmark::DoNotOptimize(level);
  }
  reportRealTimeFactor(state);
  live.cancel();
}
BENCHMARK(BM_LiveTranscriberFeed);

}  // namespace
