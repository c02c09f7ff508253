#include "speech/Diarizer/Nemotron3/Nemotron3FeatureLoader.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingFrontend.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kMels = 128;

std::vector<float> noise(std::size_t samples, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> value(0.0f, 0.1f);
  std::vector<float> audio(samples);
  for (auto& sample : audio) sample = value(random);
  return audio;
}

// The whole-buffer features of the diarizer: pre-emphasis 0.97, centre padding.
AudioMelSpectrogram::FlatResult wholeBufferMel(std::span<const float> audio) {
  AudioMelSpectrogram mel(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive,
                          false);
  return mel.computeFlatTransposed(audio, 0.0f);
}

void append(Nemotron3StreamingFrontend& frontend, std::span<const float> samples) {
  frontend.audio.insert(frontend.audio.end(), samples.begin(), samples.end());
  frontend.samplesReceived += static_cast<std::int64_t>(samples.size());
}

std::vector<Nemotron3ChunkWindow> drain(Nemotron3StreamingFrontend& frontend) {
  std::vector<Nemotron3ChunkWindow> windows;
  while (auto window = frontend.nextChunk(true)) windows.push_back(std::move(*window));
  return windows;
}

void expectNear(std::span<const float> actual, std::span<const float> expected, float tolerance = 1e-5f) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_NEAR(actual[i], expected[i], tolerance) << "value " << i << " (frame " << i / kMels << ")";
  }
}

void expectWindowsNear(const std::vector<Nemotron3ChunkWindow>& actual, const std::vector<Nemotron3ChunkWindow>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "window " << i);
    EXPECT_EQ(actual[i].length, expected[i].length);
    EXPECT_EQ(actual[i].leftOffset, expected[i].leftOffset);
    EXPECT_EQ(actual[i].rightOffset, expected[i].rightOffset);
    expectNear(actual[i].features, expected[i].features);
  }
}

std::span<const float> frames(const std::vector<float>& values, std::int64_t from, std::int64_t to) {
  return std::span<const float>(values).subspan(static_cast<std::size_t>(from * kMels),
                                                static_cast<std::size_t>((to - from) * kMels));
}

TEST(Nemotron3StreamingFrontendTest, LowPresetHandsOutTheFirstWindowOnceItsRightContextIsComputed) {
  Nemotron3StreamingFrontend frontend(Nemotron3Config::low());
  const auto audio = noise(16736, 3);
  append(frontend, std::span(audio).first(16735));
  EXPECT_FALSE(frontend.nextChunk(false));

  append(frontend, std::span(audio).last(1));
  const auto window = frontend.nextChunk(false);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->length, 104);
  EXPECT_EQ(window->leftOffset, 0);
  EXPECT_EQ(window->rightOffset, 32);
  EXPECT_EQ(window->features.size(), static_cast<std::size_t>(104 * kMels));
  EXPECT_FALSE(frontend.nextChunk(false));
}

TEST(Nemotron3StreamingFrontendTest, LowPresetFinalDrainMatchesTheFeatureLoader) {
  const auto config = Nemotron3Config::low();
  const auto audio = noise(16000, 5);
  Nemotron3StreamingFrontend frontend(config);
  append(frontend, audio);
  const auto streamed = drain(frontend);
  EXPECT_EQ(frontend.melFramesComputed, 101);
  ASSERT_EQ(streamed.size(), 2u);
  EXPECT_EQ(streamed[0].length, 101);
  EXPECT_EQ(streamed[0].rightOffset, 29);
  EXPECT_EQ(streamed[1].length, 29);
  EXPECT_EQ(streamed[1].leftOffset, 0);
  EXPECT_EQ(streamed[1].rightOffset, 0);
  EXPECT_FALSE(frontend.nextChunk(true));

  auto whole = wholeBufferMel(audio);
  ASSERT_EQ(whole.melLength, 101);
  // The second window starts at frame 72 and is zero-padded to 104 frames.
  expectNear(frames(streamed[1].features, 0, 29), frames(whole.mel, 72, 101));
  EXPECT_TRUE(std::ranges::all_of(frames(streamed[1].features, 29, 104), [](float v) { return v == 0.0f; }));

  Nemotron3FeatureLoader loader(config, whole.mel, whole.melLength, whole.numFrames);
  std::vector<Nemotron3ChunkWindow> loaded;
  while (auto window = loader.next()) loaded.push_back(std::move(*window));
  expectWindowsNear(streamed, loaded);
}

// Pieces of 1 to 5,000 samples with nextChunk between them give the windows of one append, and
// after each call neither buffer holds anything the next window or frame cannot use.
TEST(Nemotron3StreamingFrontendTest, PiecewiseAppendsGiveTheFeaturesOfOneAppendInBoundedBuffers) {
  const auto config = Nemotron3Config::low();
  const auto audio = noise(960000, 11);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pieceSize(1, 5000);

  Nemotron3StreamingFrontend oneAppend(config);
  append(oneAppend, audio);
  std::vector<Nemotron3ChunkWindow> expected;
  while (auto window = oneAppend.nextChunk(false)) expected.push_back(std::move(*window));
  for (auto& window : drain(oneAppend)) expected.push_back(std::move(window));

  Nemotron3StreamingFrontend pieces(config);
  std::vector<Nemotron3ChunkWindow> actual;
  auto checkBuffers = [&] {
    const std::int64_t e = pieces.melFramesComputed;
    const std::int64_t keepFrom = std::min(std::max<std::int64_t>(0, 160 * e - 257), pieces.samplesReceived);
    ASSERT_EQ(pieces.audioStart, keepFrom);
    ASSERT_EQ(static_cast<std::int64_t>(pieces.audio.size()), pieces.samplesReceived - pieces.audioStart);
    ASSERT_EQ(pieces.melCacheStart, pieces.nextCoreMel);  // no left context in "low"
    ASSERT_EQ(static_cast<std::int64_t>(pieces.melCache.size()), (e - pieces.melCacheStart) * kMels);
  };
  for (std::size_t at = 0; at < audio.size();) {
    const std::size_t size = std::min(pieceSize(random), audio.size() - at);
    append(pieces, std::span(audio).subspan(at, size));
    at += size;
    while (auto window = pieces.nextChunk(false)) {
      actual.push_back(std::move(*window));
      checkBuffers();
    }
  }
  while (auto window = pieces.nextChunk(true)) {
    actual.push_back(std::move(*window));
    checkBuffers();
  }
  expectWindowsNear(actual, expected);
  EXPECT_EQ(pieces.melFramesComputed, 6001);
}

// Sixty seconds with the offline preset, whole-buffer and streamed.
TEST(Nemotron3FeatureLoaderTest, OfflinePresetCutsSixtySecondsIntoThreeWindows) {
  const auto config = Nemotron3Config::offline();
  const auto audio = noise(960000, 13);
  auto whole = wholeBufferMel(audio);
  ASSERT_EQ(whole.melLength, 6001);
  Nemotron3FeatureLoader loader(config, whole.mel, whole.melLength, whole.numFrames);
  std::vector<std::int64_t> coreStarts;
  std::vector<Nemotron3ChunkWindow> loaded;
  for (;;) {
    const std::int64_t start = loader.startFeat;
    auto window = loader.next();
    if (!window) break;
    coreStarts.push_back(start);
    loaded.push_back(std::move(*window));
  }
  EXPECT_EQ(coreStarts, (std::vector<std::int64_t>{0, 2720, 5440}));
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(loaded[0].length, 3040);
  EXPECT_EQ(loaded[0].rightOffset, 320);
  EXPECT_EQ(loaded[2].length, 561);
  EXPECT_EQ(loaded[2].rightOffset, 0);
  expectNear(frames(loaded[1].features, 0, 3040), frames(whole.mel, 2720, 5760));

  Nemotron3StreamingFrontend frontend(config);
  append(frontend, audio);
  expectWindowsNear(drain(frontend), loaded);
}

TEST(Nemotron3FeatureLoaderTest, EmptyInputGivesNoWindow) {
  const auto config = Nemotron3Config::offline();
  auto whole = wholeBufferMel({});
  EXPECT_EQ(whole.melLength, 0);
  Nemotron3FeatureLoader loader(config, whole.mel, whole.melLength, whole.numFrames);
  EXPECT_FALSE(loader.next());

  Nemotron3StreamingFrontend frontend(config);
  EXPECT_FALSE(frontend.nextChunk(false));
  EXPECT_FALSE(frontend.nextChunk(true));
}

// A sequence shorter than its stated lengths gives windows from the frames that exist, zeros for
// the rest, and nothing read past it.
TEST(Nemotron3FeatureLoaderTest, ShortSequenceIsNeverReadPast) {
  const auto config = Nemotron3Config::low();
  std::vector<float> featSeq(static_cast<std::size_t>(50 * kMels));
  for (std::size_t i = 0; i < featSeq.size(); ++i) featSeq[i] = static_cast<float>(i % 997) + 1.0f;
  struct Case {
    const char* name;
    std::int64_t featLength;
    std::int64_t featSeqLength;
    std::vector<std::int64_t> lengths;
  };
  const Case cases[] = {
      {"stated longer than stored", 200, 200, {104, 104, 56}},
      {"stored count below valid count", 200, 60, {60, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Nemotron3FeatureLoader loader(config, featSeq, c.featLength, c.featSeqLength);
    std::vector<std::int64_t> lengths;
    std::vector<Nemotron3ChunkWindow> windows;
    while (auto window = loader.next()) {
      lengths.push_back(window->length);
      windows.push_back(std::move(*window));
    }
    EXPECT_EQ(lengths, c.lengths);
    ASSERT_FALSE(windows.empty());
    expectNear(frames(windows[0].features, 0, 50), frames(featSeq, 0, 50), 0.0f);
    EXPECT_TRUE(std::ranges::all_of(frames(windows[0].features, 50, 104), [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(std::ranges::all_of(windows[1].features, [](float v) { return v == 0.0f; }));
  }
}

TEST(Nemotron3StreamingFrontendTest, ResetStartsAfreshKeepingCapacity) {
  Nemotron3StreamingFrontend frontend(Nemotron3Config::low());
  const auto audio = noise(20000, 17);
  append(frontend, audio);
  const auto first = frontend.nextChunk(false);
  ASSERT_TRUE(first);
  frontend.reset();
  EXPECT_EQ(frontend.samplesReceived, 0);
  EXPECT_EQ(frontend.melFramesComputed, 0);
  EXPECT_EQ(frontend.nextCoreMel, 0);
  EXPECT_EQ(frontend.audioStart, 0);
  EXPECT_EQ(frontend.melCacheStart, 0);
  EXPECT_TRUE(frontend.audio.empty());
  EXPECT_TRUE(frontend.melCache.empty());
  append(frontend, audio);
  const auto again = frontend.nextChunk(false);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);
}

}  // namespace
}  // namespace tesselaudio
