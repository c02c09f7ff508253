#include "speech/Diarizer/LS-EEND/LSEENDFeatureProvider.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/audio/AudioError.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Diarizer/LS-EEND/LSEENDModel.h"
#include "speech/Shared/AudioConverterError.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/LSEENDModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using testsupport::LSEENDModelSizes;

// Geometry of the tiny model: nFFT 512, hop 160, 20 feature frames of 16 bands per audio chunk.
constexpr int64_t kChunkSamples = 3200;
constexpr int64_t kHalfFFT = 256;
constexpr int64_t kHop = 160;
constexpr int64_t kMels = 16;
constexpr int64_t kAudioContext = 352;   // nFFT - hop
constexpr int64_t kFlushSamples = 1376;  // hop × (context + convDelay × subsampling) + nFFT / 2

// One emitted chunk as the input held it.
struct Chunk {
  std::vector<double> features;
  std::vector<double> mask;
  int64_t warmup = 0;
  bool operator==(const Chunk&) const = default;
};

LSEENDMetadata metadataOf(const LSEENDModelSizes& sizes = {}) { return LSEENDMetadata::fromJSON(sizes.configJSON()); }

// A tone with a quiet second tone, so that every band but the floor moves.
std::vector<float> speech(int64_t samples, double frequency = 700) {
  auto audio = testsupport::sine(frequency, 16000, static_cast<size_t>(samples), 0.4f);
  const auto other = testsupport::sine(3100, 16000, static_cast<size_t>(samples), 0.05f);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] += other[i];
  return audio;
}

std::vector<Chunk> drain(LSEENDFeatureProvider& provider, const LSEENDModel* model = nullptr) {
  std::vector<Chunk> chunks;
  while (LSEENDInput* input = provider.emitNextChunk()) {
    chunks.push_back({testsupport::arrayValues(*input->melFeatures()), testsupport::arrayValues(*input->decoderMask()),
                      input->warmupFrames()});
    if (model) model->predict(*input);
  }
  return chunks;
}

std::vector<double> stateValues(const LSEENDState& state) {
  std::vector<double> all;
  for (const auto& array : {state.encRetKv, state.encRetScale, state.encConvCache, state.cnnWindow, state.decRetKv,
                            state.decRetScale}) {
    const auto v = testsupport::arrayValues(*array);
    all.insert(all.end(), v.begin(), v.end());
  }
  return all;
}

bool sameStreamingState(const LSEENDFeatureProvider::Snapshot& a, const LSEENDFeatureProvider::Snapshot& b) {
  return a.melQueue == b.melQueue && a.audioQueue == b.audioQueue && a.cmnMean == b.cmnMean &&
         a.cmnCount == b.cmnCount && a.decoderMaskEnd == b.decoderMaskEnd;
}

std::vector<float> unread(const StreamingChunkQueue& queue) { return {queue.unread().begin(), queue.unread().end()}; }

class LSEENDFeatureProviderTest : public testing::Test {
 protected:
  LSEENDMetadata metadata_ = metadataOf();
  LSEENDFeatureProvider provider_{metadata_};
};

TEST_F(LSEENDFeatureProviderTest, StartsWithOnlyTheLeadingZeros) {
  EXPECT_EQ(provider_.readyChunks(), 0);
  const auto fresh = provider_.takeSnapshot();
  EXPECT_EQ(unread(fresh.audioQueue), std::vector<float>(kHalfFFT, 0.0f));
  EXPECT_EQ(unread(fresh.melQueue), std::vector<float>(3 * kMels, 0.0f));
  EXPECT_EQ(fresh.audioQueue.chunkFloats(), kChunkSamples);
  EXPECT_EQ(fresh.audioQueue.contextFloats(), kAudioContext);
  EXPECT_EQ(fresh.melQueue.paddedChunkFloats(), 25 * kMels);
  EXPECT_EQ(fresh.cmnMean, std::vector<float>(kMels, 0.0f));
  EXPECT_EQ(fresh.cmnCount, 0);
  EXPECT_EQ(fresh.decoderMaskEnd, 0);
  EXPECT_EQ(provider_.emitNextChunk(), nullptr);
}

// k audio chunks turn into features together once k × chunkSamples + nFFT/2 − hop samples wait.
TEST_F(LSEENDFeatureProviderTest, ProcessesWholeAudioChunksOnly) {
  for (int64_t k : {1, 2, 3}) {
    SCOPED_TRACE(k);
    const int64_t needed = k * kChunkSamples + kHalfFFT - kHop;
    LSEENDFeatureProvider provider(metadata_);
    provider.enqueueAudio(speech(needed - 1), std::nullopt, true);
    EXPECT_EQ(provider.takeSnapshot().cmnCount, (k - 1) * 20);
    provider.enqueueAudio(speech(1), std::nullopt, true);
    const auto snapshot = provider.takeSnapshot();
    EXPECT_EQ(snapshot.cmnCount, k * 20);
    EXPECT_EQ(snapshot.audioQueue.unreadFloats(), kAudioContext);
  }
  // Without eager processing the audio waits for the next emit.
  provider_.enqueueAudio(speech(2 * kChunkSamples + kHalfFFT - kHop));
  EXPECT_EQ(provider_.takeSnapshot().cmnCount, 0);
  EXPECT_EQ(provider_.readyChunks(), 0);
  EXPECT_NE(provider_.emitNextChunk(), nullptr);
  EXPECT_EQ(provider_.takeSnapshot().cmnCount, 40);
}

TEST_F(LSEENDFeatureProviderTest, TheFirstFeatureChunkNeedsTwoAudioChunks) {
  provider_.enqueueAudio(speech(kChunkSamples + kHalfFFT - kHop), std::nullopt, true);
  EXPECT_EQ(provider_.readyChunks(), 0);
  EXPECT_EQ(provider_.emitNextChunk(), nullptr);
  provider_.enqueueAudio(speech(kChunkSamples), std::nullopt, true);
  EXPECT_EQ(provider_.readyChunks(), 1);
  EXPECT_NE(provider_.emitNextChunk(), nullptr);
  EXPECT_EQ(provider_.readyChunks(), 0);
}

TEST_F(LSEENDFeatureProviderTest, DrainingPadsTheAudioToAChunkBoundary) {
  for (int64_t queued : {int64_t{0}, int64_t{1}, kChunkSamples - kHop, int64_t{5000}, 3 * kChunkSamples}) {
    SCOPED_TRACE(queued);
    LSEENDFeatureProvider provider(metadata_);
    provider.enqueueAudio(speech(queued), std::nullopt, true);
    const int64_t before = provider.takeSnapshot().audioQueue.unreadFloats();
    provider.drainRightContextWithSilence(false);
    const auto drained = provider.takeSnapshot().audioQueue;
    const int64_t whole = drained.unreadFloats() - drained.contextFloats();
    EXPECT_GT(whole, 0);
    EXPECT_EQ(whole % kChunkSamples, 0);
    EXPECT_GE(drained.unreadFloats() - before, kFlushSamples);
    EXPECT_LT(drained.unreadFloats() - before, kFlushSamples + kChunkSamples);

    provider.drainRightContextWithSilence(true);
    EXPECT_EQ(provider.takeSnapshot().audioQueue.unreadFloats(), kAudioContext);
  }
}

TEST_F(LSEENDFeatureProviderTest, ConvertsOnlyAnotherRate) {
  const auto samples = speech(4000);
  for (std::optional<double> rate : {std::optional<double>(), std::optional<double>(16000.0)}) {
    LSEENDFeatureProvider provider(metadata_);
    provider.enqueueAudio(samples, rate);
    auto queued = unread(provider.takeSnapshot().audioQueue);
    queued.erase(queued.begin(), queued.begin() + kHalfFFT);
    EXPECT_EQ(queued, samples) << (rate ? "equal rate" : "no rate");
  }
  provider_.enqueueAudio(speech(4800), 48000.0);
  EXPECT_NEAR(static_cast<double>(provider_.takeSnapshot().audioQueue.unreadFloats() - kHalfFFT), 1600.0, 2.0);
}

TEST_F(LSEENDFeatureProviderTest, AFailedConversionLeavesTheQueuesAlone) {
  provider_.enqueueAudio(speech(5000), std::nullopt, true);
  const auto before = provider_.takeSnapshot();
  for (double rate : {0.0, -16000.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(rate);
    EXPECT_THROW(provider_.enqueueAudio(speech(100), rate, true), AudioConverterError);
    EXPECT_TRUE(sameStreamingState(provider_.takeSnapshot(), before));
  }
  testsupport::TemporaryFolder folder;
  EXPECT_THROW(provider_.enqueueAudioFile(folder.path() / "missing.wav"), platform::Error);
  EXPECT_TRUE(sameStreamingState(provider_.takeSnapshot(), before));
  // The lock was given back after every failure.
  EXPECT_EQ(provider_.readyChunks(), 0);
}

TEST_F(LSEENDFeatureProviderTest, AudioFilesAreConvertedQueuedAndProcessed) {
  testsupport::TemporaryFolder folder;
  const auto samples = speech(24000, 500);
  const auto file = folder.path() / "speech.wav";
  testsupport::writeEncoded(file, 48000, {samples}, "pcm_f32le");
  EXPECT_EQ(provider_.enqueueAudioFile(file), 8000);
  EXPECT_EQ(provider_.takeSnapshot().cmnCount, 40);

  // The same as queueing the converted samples.
  LSEENDFeatureProvider direct(metadata_);
  direct.enqueueAudio(samples, 48000.0, true);
  EXPECT_EQ(drain(provider_), drain(direct));
}

TEST_F(LSEENDFeatureProviderTest, FeaturesAreRunningMeanNormalisedLog10Mel) {
  const auto audio = speech(4 * kChunkSamples);
  provider_.enqueueAudio(audio, std::nullopt, true);
  const auto chunks = drain(provider_);
  ASSERT_GE(chunks.size(), 2u);

  // The stream as one block: frame i centred on sample i × hop.
  std::vector<float> padded(kHalfFFT, 0.0f);
  padded.insert(padded.end(), audio.begin(), audio.end());
  AudioMelSpectrogram mel(16000, kMels, 512, kHop, 400, 0.0f, 1, 1e-10f, AudioMelSpectrogram::LogFloorMode::clamped,
                          true);
  const auto reference = mel.computeFlatTransposed(padded, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded);
  std::vector<double> expected;
  std::vector<double> mean(kMels, 0.0);
  for (int frame = 0; frame < reference.melLength; ++frame) {
    for (int64_t b = 0; b < kMels; ++b) {
      const double value = reference.mel[static_cast<size_t>(frame * kMels + b)] * 0.43429446;
      mean[b] += (value - mean[b]) / (frame + 1);
      expected.push_back(value - mean[b]);
    }
  }

  // Chunk c holds stream frames 20c − 3 ... 20c + 21; before the stream, zeros.
  for (size_t c = 0; c < 2; ++c) {
    for (int64_t row = 0; row < 25; ++row) {
      const int64_t frame = 20 * static_cast<int64_t>(c) - 3 + row;
      for (int64_t b = 0; b < kMels; ++b) {
        const double got = chunks[c].features[static_cast<size_t>(row * kMels + b)];
        const double want = frame < 0 ? 0.0 : expected[static_cast<size_t>(frame * kMels + b)];
        ASSERT_NEAR(got, want, 1e-3) << "chunk " << c << " frame " << frame << " band " << b;
      }
    }
  }
  // The very first frame is its own mean; the next is not.
  for (int64_t b = 0; b < kMels; ++b) EXPECT_EQ(chunks[0].features[static_cast<size_t>(3 * kMels + b)], 0.0) << b;
  EXPECT_NE(chunks[0].features[static_cast<size_t>(4 * kMels + 4)], 0.0);
}

TEST_F(LSEENDFeatureProviderTest, MasksMarkTheWarmUpFramesOfTheFirstChunks) {
  struct Row {
    const char* name;
    int64_t convDelay;
    std::vector<int64_t> warmups;  // of the first chunks; every later chunk has none
  };
  for (const Row& row : {Row{"two frames", 2, {2, 0, 0}}, Row{"none", 0, {0, 0, 0}},
                         Row{"a whole chunk", 10, {10, 0, 0}}, Row{"over two chunks", 25, {10, 10, 5, 0}}}) {
    SCOPED_TRACE(row.name);
    LSEENDModelSizes sizes;
    sizes.convDelay = row.convDelay;
    LSEENDFeatureProvider provider(metadataOf(sizes));
    provider.enqueueAudio(speech(6 * kChunkSamples), std::nullopt, true);
    const auto chunks = drain(provider);
    ASSERT_GE(chunks.size(), row.warmups.size());
    int64_t zerosLeft = row.convDelay;
    for (size_t c = 0; c < chunks.size(); ++c) {
      const int64_t warmup = c < row.warmups.size() ? row.warmups[c] : 0;
      EXPECT_EQ(chunks[c].warmup, warmup) << "chunk " << c;
      std::vector<double> mask(10, 1.0);
      const int64_t zeros = std::min<int64_t>(zerosLeft, 10);
      std::fill_n(mask.begin(), zeros, 0.0);
      zerosLeft -= zeros;
      EXPECT_EQ(chunks[c].mask, mask) << "chunk " << c;
    }
  }
}

// One thread feeding 10 ms pieces while another emits sees the chunks of a serial run.
TEST_F(LSEENDFeatureProviderTest, FeedingAndEmittingFromTwoThreadsGivesTheSerialChunks) {
  const auto audio = speech(8 * kChunkSamples);
  LSEENDFeatureProvider serial(metadata_);
  serial.enqueueAudio(audio, std::nullopt, true);
  serial.drainRightContextWithSilence(true);
  const auto expected = drain(serial);

  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    for (size_t offset = 0; offset < audio.size(); offset += kHop) {
      provider_.enqueueAudio(std::span<const float>(audio).subspan(offset, kHop), std::nullopt, offset % 320 == 0);
    }
    provider_.drainRightContextWithSilence(true);
    fed = true;
  });
  std::vector<Chunk> chunks;
  while (true) {
    const bool done = fed.load();
    auto more = drain(provider_);
    chunks.insert(chunks.end(), more.begin(), more.end());
    if (done && more.empty()) break;
  }
  feeder.join();
  EXPECT_EQ(chunks, expected);
}

class LSEENDFeatureProviderModelTest : public LSEENDFeatureProviderTest {
 protected:
  testsupport::TemporaryFolder folder_;
  LSEENDModel model_{testsupport::lseendToneModel().writeBundle(folder_.path()), platform::MLComputeUnits::cpuOnly};
};

TEST_F(LSEENDFeatureProviderModelTest, RollbackRestoresTheStreamingStateWithOrWithoutTheRecurrentValues) {
  for (bool keepingState : {false, true}) {
    SCOPED_TRACE(keepingState);
    LSEENDFeatureProvider provider(metadata_);
    provider.enqueueAudio(speech(3 * kChunkSamples), std::nullopt, true);
    drain(provider, &model_);
    auto snapshot = provider.takeSnapshot();
    const auto saved = provider.takeSnapshot();
    const auto savedState = stateValues(saved.state);

    provider.enqueueAudio(speech(4 * kChunkSamples, 1500), std::nullopt, true);
    const auto after = drain(provider, &model_);
    ASSERT_FALSE(after.empty());
    const auto reached = stateValues(provider.takeSnapshot().state);

    provider.rollback(std::move(snapshot), keepingState);
    const auto restored = provider.takeSnapshot();
    EXPECT_TRUE(sameStreamingState(restored, saved));
    EXPECT_EQ(stateValues(restored.state), keepingState ? reached : savedState);
    EXPECT_NE(reached, savedState);

    // The stream goes on from the snapshot as it did the first time.
    provider.enqueueAudio(speech(4 * kChunkSamples, 1500), std::nullopt, true);
    EXPECT_EQ(drain(provider), after);
  }
}

TEST_F(LSEENDFeatureProviderModelTest, AProviderBuiltFromASnapshotContinuesTheStream) {
  provider_.enqueueAudio(speech(3 * kChunkSamples), std::nullopt, true);
  drain(provider_, &model_);
  LSEENDFeatureProvider restored(metadata_, provider_.takeSnapshot());
  for (auto* provider : {&provider_, &restored}) provider->enqueueAudio(speech(3 * kChunkSamples, 900), std::nullopt, true);
  EXPECT_EQ(drain(restored, &model_), drain(provider_, &model_));
  EXPECT_EQ(stateValues(restored.takeSnapshot().state), stateValues(provider_.takeSnapshot().state));
}

TEST_F(LSEENDFeatureProviderModelTest, ResetStartsTheStreamAfresh) {
  const auto audio = speech(5 * kChunkSamples);
  provider_.enqueueAudio(audio, std::nullopt, true);
  LSEENDInput* input = provider_.emitNextChunk();
  ASSERT_NE(input, nullptr);
  const auto kv = input->state().encRetKv;
  drain(provider_, &model_);
  provider_.enqueueAudio(speech(1000));

  provider_.reset();
  const auto reset = provider_.takeSnapshot();
  const auto fresh = LSEENDFeatureProvider(metadata_).takeSnapshot();
  EXPECT_TRUE(sameStreamingState(reset, fresh));
  EXPECT_EQ(stateValues(reset.state), stateValues(fresh.state));

  LSEENDFeatureProvider other(metadata_);
  for (auto* provider : {&provider_, &other}) {
    provider->enqueueAudio(audio, std::nullopt, true);
    provider->drainRightContextWithSilence(true);
  }
  EXPECT_EQ(drain(provider_), drain(other));
  EXPECT_EQ(provider_.takeSnapshot().cmnCount, other.takeSnapshot().cmnCount);
  EXPECT_EQ(input->state().encRetKv, kv);
}

// With α and θ fixed on the normalised features, a tone at a speaker's band is that speaker talking.
TEST_F(LSEENDFeatureProviderTest, TonesAtTheSpeakerBandsActAsSpeakers) {
  testsupport::TemporaryFolder folder;
  LSEENDModel model(testsupport::lseendToneModel({}, {2.0f, 6.0f}).writeBundle(folder.path()),
                    platform::MLComputeUnits::cpuOnly);
  for (int speaker = 0; speaker < 4; ++speaker) {
    SCOPED_TRACE(speaker);
    LSEENDFeatureProvider provider(metadata_);
    std::vector<float> audio(16000, 0.0f);
    const auto tone = testsupport::sine(testsupport::lseendSpeakerFrequency(speaker), 16000, 8000, 0.3f);
    audio.insert(audio.end(), tone.begin(), tone.end());
    provider.enqueueAudio(audio, std::nullopt, true);
    provider.drainRightContextWithSilence(true);
    std::vector<float> probs;
    while (LSEENDInput* input = provider.emitNextChunk()) {
      const auto chunk = model.predict(*input);
      probs.insert(probs.end(), chunk.begin(), chunk.end());
    }
    // The tone starts at output frame 48 (1 s of 20 ms frames, less the 2 warm-up frames): compare
    // well inside the silence and well inside the tone, away from the onset's broadband click.
    const auto at = [&](int frame, int s) { return probs[static_cast<size_t>(frame * 4 + s)]; };
    for (int s = 0; s < 4; ++s) {
      EXPECT_LT(at(20, s), 0.1f) << "silence, speaker " << s;
      if (s == speaker) {
        EXPECT_GT(at(55, s), 0.9f) << "tone, speaker " << s;
      } else {
        EXPECT_LT(at(55, s), 0.1f) << "tone, speaker " << s;
      }
    }
  }
}

}  // namespace
}  // namespace tesselaudio
