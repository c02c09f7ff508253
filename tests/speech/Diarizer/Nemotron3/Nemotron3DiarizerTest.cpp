#include "speech/Diarizer/Nemotron3/Nemotron3Diarizer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Nemotron3/Nemotron3FeatureLoader.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/Nemotron3ModelBuilder.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::Nemotron3FusedVariant;

constexpr std::int64_t kSpeakers = 8;
constexpr std::size_t kMinute = 960000;
// The stand-in's scoring of the chord fixtures: a group's mean log-mel reads about −6 … −1 where
// its chord plays and below −12 elsewhere.
constexpr float kAlpha = 2.0f;
constexpr float kThreshold = -9.0f;
// Above any mel value of a fixture, below those of a fixture thirty times as loud.
constexpr float kLoudMel = 3.0f;

testsupport::Nemotron3BandScorer standInScorer() {
  testsupport::Nemotron3BandScorer scorer;
  scorer.alpha = kAlpha;
  scorer.thresholds.fill(kThreshold);
  return scorer;
}

// Speaker k of the stand-in talks: a chord over mel bands 16k … 16k + 15.
std::vector<float> speaker(int k, std::size_t samples, unsigned seed = 1) {
  return testsupport::melBinsAudio(16 * k, 16 * k + 15, samples, seed);
}

// Speakers 2 and 5 taking turns of 5 s over 60 s, speaker 2 first.
std::vector<float> alternatingMinute() {
  std::vector<float> audio;
  for (int turn = 0; turn < 12; ++turn) {
    const auto piece = speaker(turn % 2 == 0 ? 2 : 5, 80000, static_cast<unsigned>(turn + 1));
    audio.insert(audio.end(), piece.begin(), piece.end());
  }
  return audio;
}

AudioMelSpectrogram::FlatResult wholeBufferMel(std::span<const float> audio) {
  AudioMelSpectrogram mel(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive,
                          false);
  return mel.computeFlatTransposed(audio, 0.0f);
}

Nemotron3Config splitOffline() {
  return Nemotron3Config(340, 0, 40, 40, 264, 300, "Nemotron3Diarizer_offline_split.mlmodelc", true);
}

bool allZero(std::span<const float> values) {
  return std::ranges::all_of(values, [](float v) { return v == 0.0f; });
}

// Stand-in models written into a temporary folder and loaded from it, as from a prepared folder.
class Nemotron3DiarizerTest : public testing::Test {
 protected:
  Nemotron3Models load(const Nemotron3Config& config, Nemotron3FusedVariant variant = Nemotron3FusedVariant::plain,
                       const testsupport::Nemotron3BandScorer& scorer = standInScorer()) {
    const fs::path directory = folder_ / std::to_string(loads_++);
    fs::create_directories(directory);
    const std::string name = fs::path(config.modelFileName).stem().string();
    const testsupport::Nemotron3ModelSizes sizes{config.chunkEncFrames(), config.fifoLen, config.spkcacheLen};
    if (config.splitGraph) {
      testsupport::nemotron3SplitModel(name, sizes, scorer).writeBundle(directory);
      write(directory / "pre_encode_proj_t.bin", testsupport::nemotron3IdentityProjection());
    } else {
      testsupport::nemotron3FusedModel(name, sizes, variant, scorer).writeBundle(directory);
    }
    write(directory / "learnable_sil_emb.bin", std::vector<float>(512, 0.0f));
    return Nemotron3Models::load(config, directory, platform::MLComputeUnits::cpuOnly);
  }

  // A stand-in that fails on any chunk whose core holds a mel value above kLoudMel.
  Nemotron3Models loadFailingWhenLoud(const Nemotron3Config& config) {
    auto scorer = standInScorer();
    scorer.failAboveCoreMel = kLoudMel;
    scorer.coreMelBegin = config.subsamplingFactor * config.chunkLeftContext;
    scorer.coreMelEnd = scorer.coreMelBegin + config.subsamplingFactor * config.chunkLen;
    return load(config, Nemotron3FusedVariant::plain, scorer);
  }

  static void write(const fs::path& file, const std::vector<float>& values) {
    std::ofstream(file, std::ios::binary) << testsupport::nemotron3AssetBytes(values);
  }

  testsupport::TemporaryFolder folder_;
  int loads_ = 0;
};

// Each fixture lights its own group of mel bands above the stand-in's threshold, and every other
// group well below it.
TEST_F(Nemotron3DiarizerTest, ChordFixturesLightOnlyTheirOwnGroup) {
  for (int k = 0; k < kSpeakers; ++k) {
    SCOPED_TRACE(testing::Message() << "fixture " << k);
    const auto mel = wholeBufferMel(speaker(k, 16000, static_cast<unsigned>(k + 1)));
    // The first and last frames see the zero padding.
    for (int f = 3; f < mel.melLength - 3; ++f) {
      for (int group = 0; group < kSpeakers; ++group) {
        float sum = 0;
        for (int band = 16 * group; band < 16 * group + 16; ++band) sum += mel.mel[static_cast<std::size_t>(f * 128 + band)];
        const float mean = sum / 16;
        if (group == k) {
          ASSERT_GT(mean, kThreshold + 2) << "frame " << f;
        } else {
          ASSERT_LT(mean, kThreshold - 2) << "frame " << f << " group " << group;
        }
        ASSERT_LT(mel.mel[static_cast<std::size_t>(f * 128 + 16 * group)], kLoudMel);
      }
    }
  }
}

TEST_F(Nemotron3DiarizerTest, EmptyBufferGivesNoFrames) {
  Nemotron3Diarizer diarizer(Nemotron3Config::offline(), load(Nemotron3Config::offline()));
  const auto result = diarizer.processComplete({});
  EXPECT_EQ(result.frameCount, 0);
  EXPECT_TRUE(result.probabilities.empty());
  EXPECT_EQ(diarizer.lastProfile().chunkCount, 0);
  EXPECT_EQ(diarizer.lastProfile().skippedChunks, 0);
}

TEST_F(Nemotron3DiarizerTest, SixtySecondsGiveOneFramePerMelFrameAndAProfile) {
  Nemotron3Diarizer diarizer(Nemotron3Config::offline(), load(Nemotron3Config::offline()));
  const auto result = diarizer.processComplete(alternatingMinute());
  EXPECT_EQ(result.frameCount, 6001);
  EXPECT_EQ(result.probabilities.size(), 48008u);
  const auto& profile = diarizer.lastProfile();
  EXPECT_EQ(profile.chunkCount, 3);
  EXPECT_EQ(profile.skippedChunks, 0);
  EXPECT_GT(profile.melSeconds, 0);
  EXPECT_GT(profile.predictSeconds, 0);
  EXPECT_GE(profile.inferenceSeconds, profile.inputPrepSeconds + profile.predictSeconds + profile.readbackSeconds);
  EXPECT_GE(profile.totalSeconds, profile.melSeconds + profile.chunkSliceSeconds + profile.inferenceSeconds +
                                      profile.stateUpdateSeconds + profile.outputAppendSeconds);
}

TEST_F(Nemotron3DiarizerTest, FailedWholeBufferRunKeepsTheLastProfile) {
  const auto config = Nemotron3Config::offline();
  Nemotron3Diarizer diarizer(config, load(config, Nemotron3FusedVariant::alwaysFails));
  const auto audio = alternatingMinute();
  diarizer.processComplete(audio, std::vector<bool>{});
  const auto profile = diarizer.lastProfile();
  EXPECT_EQ(profile.skippedChunks, 3);
  EXPECT_ANY_THROW(diarizer.processComplete(audio));
  EXPECT_EQ(diarizer.lastProfile(), profile);
}

// A chunk runs only when the mask marks speech in its core (frames 0, 2,720 and 5,440 on).
TEST_F(Nemotron3DiarizerTest, SpeechMaskSkipsChunksWithoutSpeechInTheirCore) {
  const auto config = Nemotron3Config::offline();
  const auto audio = alternatingMinute();
  auto frames = [](std::size_t count, std::int64_t from, std::int64_t to) {
    std::vector<bool> mask(count, false);
    for (auto i = from; i < to; ++i) mask[static_cast<std::size_t>(i)] = true;
    return mask;
  };
  struct Case {
    const char* name;
    std::vector<bool> mask;
    std::vector<bool> runs;  // per chunk
  };
  const Case cases[] = {
      {"all false", std::vector<bool>(6001, false), {false, false, false}},
      {"empty", {}, {false, false, false}},
      {"only the first chunk's right context", frames(6001, 2720, 3040), {false, true, false}},
      {"first 3,000 frames", std::vector<bool>(3000, true), {true, true, false}},
      {"first 3,000 frames, speech from 2,720", frames(3000, 2720, 3000), {false, true, false}},
      {"first 3,000 frames, none from 2,720", frames(3000, 0, 2720), {true, false, false}},
      {"longer than the audio, speech past its end", frames(9000, 6001, 9000), {false, false, false}},
      {"last frame only", frames(6001, 6000, 6001), {false, false, true}},
  };
  Nemotron3Diarizer diarizer(config, load(config));
  Nemotron3Diarizer failing(config, load(config, Nemotron3FusedVariant::alwaysFails));
  const std::int64_t coreStarts[] = {0, 2720, 5440, 6001};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool runsAny = std::ranges::find(c.runs, true) != c.runs.end();
    // Where no chunk runs, a model that fails on every call shows that none is made.
    auto& subject = runsAny ? diarizer : failing;
    const auto result = subject.processComplete(audio, c.mask);
    ASSERT_EQ(result.frameCount, 6001);
    ASSERT_EQ(result.probabilities.size(), 48008u);
    const auto runCount = std::ranges::count(c.runs, true);
    EXPECT_EQ(subject.lastProfile().chunkCount, runCount);
    EXPECT_EQ(subject.lastProfile().skippedChunks, 3 - runCount);
    for (int chunk = 0; chunk < 3; ++chunk) {
      const auto values = std::span(result.probabilities)
                              .subspan(static_cast<std::size_t>(coreStarts[chunk] * kSpeakers),
                                       static_cast<std::size_t>((coreStarts[chunk + 1] - coreStarts[chunk]) * kSpeakers));
      EXPECT_EQ(!allZero(values), c.runs[static_cast<std::size_t>(chunk)]) << "chunk " << chunk;
    }
  }
}

// A skipped chunk leaves the speaker cache and FIFO alone: the next chunk that runs sees the
// state of the last one that ran.
TEST_F(Nemotron3DiarizerTest, SkippedChunkLeavesTheSpeakerStateAsItWas) {
  const auto config = Nemotron3Config::offline();
  const auto audio = alternatingMinute();
  Nemotron3Diarizer diarizer(config, load(config));
  std::vector<bool> mask(6001, true);
  std::fill(mask.begin() + 2720, mask.begin() + 5440, false);
  const auto masked = diarizer.processComplete(audio, mask);
  const auto maskedState = diarizer.state();

  auto mel = wholeBufferMel(audio);
  Nemotron3FeatureLoader loader(config, mel.mel, mel.melLength, mel.numFrames);
  diarizer.reset();
  const auto first = loader.next();
  loader.next();
  const auto third = loader.next();
  ASSERT_TRUE(first && third);
  diarizer.step(first->features, first->length, first->leftOffset, first->rightOffset);
  const auto last = diarizer.step(third->features, third->length, third->leftOffset, third->rightOffset);

  EXPECT_EQ(diarizer.state(), maskedState);
  ASSERT_EQ(last.frameCount, 568);
  const auto tail = std::span(masked.probabilities).subspan(5440 * kSpeakers);
  EXPECT_TRUE(std::ranges::equal(tail, std::span(last.probabilities).first(tail.size())));
}

TEST_F(Nemotron3DiarizerTest, StreamingHandsOutChunksAsTheirAudioArrives) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config));
  const auto audio = speaker(3, 16736);
  diarizer.appendAudio(std::span(audio).first(16735));
  EXPECT_TRUE(diarizer.processBufferedAudio().empty());
  diarizer.appendAudio(std::span(audio).last(1));
  const auto first = diarizer.processBufferedAudio();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].frameCount, 72);
  EXPECT_EQ(first[0].numSpeakers, kSpeakers);
  EXPECT_EQ(first[0].probabilities.size(), 72u * kSpeakers);
  EXPECT_EQ(diarizer.streamedFrameCount(), 72);

  const auto rest = diarizer.finishStream();
  ASSERT_EQ(rest.size(), 1u);
  // (16,736 + 112) ÷ 160 + 1 = 106 mel frames in all; the last core's rounding up is cut.
  EXPECT_EQ(rest[0].frameCount, 34);
  EXPECT_EQ(diarizer.streamedFrameCount(), 106);
  EXPECT_TRUE(diarizer.finishStream().empty());

  // The stream is closed: more audio is ignored until a reset.
  diarizer.appendAudio(audio);
  EXPECT_TRUE(diarizer.processBufferedAudio().empty());
  EXPECT_TRUE(diarizer.finishStream().empty());
  EXPECT_EQ(diarizer.streamedFrameCount(), 106);
}

TEST_F(Nemotron3DiarizerTest, SecondFinishStreamMakesNoModelCall) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config, Nemotron3FusedVariant::alwaysFails));
  diarizer.appendAudio(speaker(1, 4000));
  EXPECT_ANY_THROW(diarizer.finishStream());
  // The failed chunk's frames come back as zeros; after that the stream is done.
  const auto held = diarizer.finishStream();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].frameCount, 26);  // (4,000 + 112) ÷ 160 + 1 mel frames
  EXPECT_TRUE(allZero(held[0].probabilities));
  EXPECT_TRUE(diarizer.finishStream().empty());
  EXPECT_EQ(diarizer.streamedFrameCount(), 26);
}

TEST_F(Nemotron3DiarizerTest, ResetStartsAfreshAndKeepsTheProfile) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config));
  const auto audio = speaker(4, 40000);
  diarizer.processComplete(audio);
  const auto profile = diarizer.lastProfile();
  ASSERT_GT(profile.chunkCount, 0);

  auto stream = [&] {
    diarizer.appendAudio(audio);
    auto results = diarizer.processBufferedAudio();
    for (auto& result : diarizer.finishStream()) results.push_back(std::move(result));
    return results;
  };
  diarizer.reset();
  const auto once = stream();
  diarizer.reset();
  EXPECT_EQ(diarizer.streamedFrameCount(), 0);
  EXPECT_EQ(diarizer.state(), Nemotron3StreamingState(config));
  EXPECT_EQ(stream(), once);
  EXPECT_EQ(diarizer.lastProfile(), profile);
}

TEST_F(Nemotron3DiarizerTest, StepAdvancesOnlyTheSpeakerState) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config));
  const auto audio = speaker(6, 16736);
  auto mel = wholeBufferMel(audio);
  Nemotron3FeatureLoader loader(config, mel.mel, mel.melLength, mel.numFrames);
  const auto window = loader.next();
  ASSERT_TRUE(window);

  diarizer.appendAudio(audio);
  const auto result = diarizer.step(window->features, window->length, window->leftOffset, window->rightOffset);
  EXPECT_EQ(result.frameCount, 72);
  EXPECT_NE(diarizer.state(), Nemotron3StreamingState(config));
  EXPECT_EQ(diarizer.streamedFrameCount(), 0);
  // The front end still holds the audio and its window.
  EXPECT_EQ(diarizer.processBufferedAudio().size(), 1u);
  EXPECT_EQ(diarizer.streamedFrameCount(), 72);
}

// A chunk that fails mid-call keeps the results before it and its own frames as zeros, so the
// frames handed out stay aligned with the audio; the next call hands them out first.
TEST_F(Nemotron3DiarizerTest, FailedStreamingChunkKeepsEarlierResultsAndItsPlace) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, loadFailingWhenLoud(config));
  // Five cores of 72 mel frames (11,520 samples) and the right context of the fifth; the third
  // core (frames 144 … 215) is loud, its neighbours' cores are not.
  auto audio = speaker(2, 5 * 11520 + 6000);
  for (std::size_t i = 2 * 11520 + 400; i < 3 * 11520 - 400; ++i) audio[i] *= 30.0f;
  diarizer.appendAudio(audio);
  EXPECT_ANY_THROW(diarizer.processBufferedAudio());
  EXPECT_EQ(diarizer.streamedFrameCount(), 3 * 72);

  const auto results = diarizer.processBufferedAudio();
  ASSERT_EQ(results.size(), 5u);
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "chunk " << i);
    EXPECT_EQ(results[i].frameCount, 72);
    EXPECT_EQ(results[i].numSpeakers, kSpeakers);
    ASSERT_EQ(results[i].probabilities.size(), 72u * kSpeakers);
    if (i == 2) {
      EXPECT_TRUE(allZero(results[i].probabilities));
    } else {
      // Speaker 2 talks throughout.
      EXPECT_GT(results[i].probabilities[40 * kSpeakers + 2], 0.9f);
    }
  }
  EXPECT_EQ(diarizer.streamedFrameCount(), 5 * 72);
}

TEST_F(Nemotron3DiarizerTest, ResetAndWholeBufferRunsDropHeldResults) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config, Nemotron3FusedVariant::alwaysFails));
  const auto audio = speaker(2, 20000);
  for (const bool viaReset : {true, false}) {
    SCOPED_TRACE(viaReset ? "reset" : "processComplete");
    diarizer.appendAudio(audio);
    EXPECT_ANY_THROW(diarizer.processBufferedAudio());
    if (viaReset) {
      diarizer.reset();
    } else {
      diarizer.processComplete(audio, std::vector<bool>{});
    }
    EXPECT_TRUE(diarizer.processBufferedAudio().empty());
    EXPECT_EQ(diarizer.streamedFrameCount(), 0);
  }
}

TEST_F(Nemotron3DiarizerTest, NanSamplesAndOddMasksDoNotCrash) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config));
  auto audio = speaker(1, 40000);
  for (std::size_t i = 0; i < audio.size(); i += 7) audio[i] = std::numeric_limits<float>::quiet_NaN();
  for (const auto& mask : {std::optional<std::vector<bool>>{}, std::optional(std::vector<bool>(1, true)),
                           std::optional(std::vector<bool>(100000, true))}) {
    const auto result = diarizer.processComplete(audio, mask);
    EXPECT_EQ(result.frameCount, 251);
  }
  diarizer.reset();
  diarizer.appendAudio(audio);
  std::int64_t frames = 0;
  for (const auto& result : diarizer.processBufferedAudio()) frames += result.frameCount;
  for (const auto& result : diarizer.finishStream()) frames += result.frameCount;
  EXPECT_EQ(frames, 251);
}

TEST_F(Nemotron3DiarizerTest, CancellationLosesNothing) {
  const auto config = Nemotron3Config::low();
  Nemotron3Diarizer diarizer(config, load(config));
  const auto audio = speaker(3, 40000);
  diarizer.processComplete(audio);
  const auto profile = diarizer.lastProfile();
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_THROW(diarizer.processComplete(audio, std::nullopt, stopped.get_token()), platform::CancellationError);
  EXPECT_EQ(diarizer.lastProfile(), profile);

  diarizer.appendAudio(audio);
  EXPECT_THROW(diarizer.processBufferedAudio(stopped.get_token()), platform::CancellationError);
  EXPECT_THROW(diarizer.finishStream(stopped.get_token()), platform::CancellationError);
  // The stream is closed, and the drain goes on where it stopped: (40,000 + 112) ÷ 160 + 1 frames.
  diarizer.appendAudio(audio);
  std::int64_t frames = 0;
  for (const auto& result : diarizer.finishStream()) frames += result.frameCount;
  EXPECT_EQ(frames, 251);
  EXPECT_EQ(diarizer.streamedFrameCount(), 251);
  EXPECT_TRUE(diarizer.finishStream().empty());
}

TEST(Nemotron3DiarizerSegmentsTest, ThresholdAndMinimumDuration) {
  const std::vector<float> probabilities{0.1f, 0.6f, 0.7f, 0.2f};
  struct Case {
    const char* name;
    float threshold;
    float minDuration;
    std::vector<Nemotron3Segment> expected;
  };
  const Case cases[] = {
      {"strictly above 0.6", 0.6f, 0.5f, {{0, 1.0f, 1.5f}}},
      {"shorter than the minimum", 0.6f, 0.6f, {}},
      {"equal to the minimum is kept", 0.5f, 1.0f, {{0, 0.5f, 1.5f}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Nemotron3Diarizer::segments(probabilities, 4, 1, c.threshold, 0.5f, c.minDuration), c.expected);
  }
}

TEST(Nemotron3DiarizerSegmentsTest, OpenSegmentsCloseAtTheEndAndSortStably) {
  // Two speakers: speaker 1 from frame 0 to the end, speaker 0 from frame 0 to 2, then from 3.
  const std::vector<float> probabilities{0.9f, 0.9f, 0.9f, 0.9f, 0.1f, 0.9f, 0.9f, 0.9f};
  const auto found = Nemotron3Diarizer::segments(probabilities, 4, 2, 0.5f, 0.25f, 0.0f);
  const std::vector<Nemotron3Segment> expected{{0, 0.0f, 0.5f}, {1, 0.0f, 1.0f}, {0, 0.75f, 1.0f}};
  EXPECT_EQ(found, expected);
}

TEST(Nemotron3DiarizerSegmentsTest, RefusesCountsTheArrayCannotHold) {
  const std::vector<float> probabilities(6, 0.9f);
  struct Case {
    const char* name;
    std::int64_t frameCount;
    std::int64_t numSpeakers;
  };
  const Case cases[] = {
      {"more frames than values", 4, 2},
      {"more speakers than values", 1, 7},
      {"negative frame count", -1, 2},
      {"negative speaker count", 3, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Nemotron3Diarizer::segments(probabilities, c.frameCount, c.numSpeakers, 0.5f, 0.01f, 0.0f).empty());
  }
}

// Speakers 2 and 5 taking turns every 5 s are found at their turns, whole-buffer (fused and split
// graph) and streamed in 20 ms pieces.
TEST_F(Nemotron3DiarizerTest, TwoAlternatingSpeakersAreFoundAtTheirTurns) {
  const auto audio = alternatingMinute();
  struct Run {
    const char* name;
    Nemotron3Config config;
    bool streaming;
  };
  const Run runs[] = {
      {"whole buffer, fused", Nemotron3Config::offline(), false},
      {"whole buffer, split", splitOffline(), false},
      {"streaming", Nemotron3Config::low(), true},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.name);
    Nemotron3Diarizer diarizer(run.config, load(run.config));
    std::vector<float> probabilities;
    std::int64_t frameCount = 0;
    if (run.streaming) {
      auto take = [&](const std::vector<Nemotron3ChunkResult>& results) {
        for (const auto& result : results) {
          probabilities.insert(probabilities.end(), result.probabilities.begin(), result.probabilities.end());
          frameCount += result.frameCount;
        }
      };
      for (std::size_t at = 0; at < audio.size(); at += 320) {
        diarizer.appendAudio(std::span(audio).subspan(at, 320));
        take(diarizer.processBufferedAudio());
      }
      take(diarizer.finishStream());
      EXPECT_EQ(diarizer.streamedFrameCount(), frameCount);
    } else {
      auto result = diarizer.processComplete(audio);
      probabilities = std::move(result.probabilities);
      frameCount = result.frameCount;
    }
    ASSERT_EQ(frameCount, 6001);
    const auto found = Nemotron3Diarizer::segments(probabilities, frameCount, kSpeakers, 0.5f, 0.01f, 0.3f);
    ASSERT_EQ(found.size(), 12u);
    for (std::size_t turn = 0; turn < found.size(); ++turn) {
      SCOPED_TRACE(testing::Message() << "turn " << turn);
      EXPECT_EQ(found[turn].speakerIndex, turn % 2 == 0 ? 2 : 5);
      EXPECT_NEAR(found[turn].startSeconds, 5.0 * static_cast<double>(turn), 0.16);
      EXPECT_NEAR(found[turn].endSeconds, 5.0 * static_cast<double>(turn + 1), 0.16);
    }
  }
}

}  // namespace
}  // namespace tesselaudio
