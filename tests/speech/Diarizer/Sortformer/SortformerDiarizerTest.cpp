#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <atomic>
#include <random>
#include <stop_token>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioConverterError.h"
#include "tests/speech/Diarizer/Sortformer/SortformerDiarizerFixture.h"

namespace tesselaudio::testing {
namespace {

using Level = platform::SystemLog::Level;

class SortformerDiarizerTest : public SortformerDiarizerFixture {};

TEST_F(SortformerDiarizerTest, ChunksRunOnceTheirRightContextArrives) {
  const auto audio = testsupport::sortformerBandAudio(0, 24'360);
  const auto mel = oneShotMel(audio, false, 152);
  const std::span<const float> all(audio);

  // 16,679 samples make 103 mel frames: one short of a chunk with its right context.
  EXPECT_FALSE(diarizer_->process(all.first(16'679), std::nullopt));
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);

  // The 104th frame: the first chunk, no left context, 56 frames of right context.
  const auto first = diarizer_->process(all.subspan(16'679, 1), std::nullopt);
  ASSERT_TRUE(first);
  EXPECT_EQ(lastChunkLength(models_), 104);
  EXPECT_LT(maxMelDifference(lastChunkMel(models_), mel, 0), 1e-4f);
  // 13 model frames: 0 of left context, 6 of core, 7 of right context.
  EXPECT_EQ(first->chunkResult.startFrame, 0);
  EXPECT_EQ(first->chunkResult.finalizedFrameCount, 6);
  EXPECT_EQ(first->chunkResult.tentativeFrameCount, 7);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 6);

  EXPECT_FALSE(diarizer_->process(all.subspan(16'680, 24'359 - 16'680), std::nullopt));
  const auto second = diarizer_->process(all.subspan(24'359, 1), std::nullopt);
  ASSERT_TRUE(second);
  // Core frames 48 … 95 with 8 frames of left context: 112 frames from frame 40.
  EXPECT_EQ(lastChunkLength(models_), 112);
  EXPECT_LT(maxMelDifference(lastChunkMel(models_), mel, 40), 1e-4f);
  // 14 model frames: 1 of left context, 6 of core, 7 of right context.
  EXPECT_EQ(second->chunkResult.startFrame, 6);
  EXPECT_EQ(second->chunkResult.finalizedFrameCount, 6);
  EXPECT_EQ(second->chunkResult.tentativeFrameCount, 7);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 12);
  EXPECT_EQ(diarizer_->timeline()->numFinalizedFrames(), 12);
  EXPECT_EQ(diarizer_->timeline()->numTentativeFrames(), 7);
}

TEST_F(SortformerDiarizerTest, FeaturesStreamedInPiecesEqualOneComputation) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  const auto audio = speechInTurns({0, 1, 2}, 28'000);
  // Whole-stream features, with the end-of-session pad.
  const int total = static_cast<int>((audio.size() + 112) / 160 + 1);
  const auto mel = oneShotMel(audio, true, total);

  // Pieces shorter than one chunk's core, so that a call runs at most one chunk.
  std::uniform_int_distribution<std::size_t> size(1, 7'000);
  std::int64_t chunks = 0;
  for (std::size_t at = 0; at < audio.size();) {
    const auto n = std::min(size(random), audio.size() - at);
    if (diarizer_->process(std::span(audio).subspan(at, n), std::nullopt)) {
      const std::int64_t core = 48 * chunks++;
      const std::int64_t first = core - std::min<std::int64_t>(core, 8);
      SCOPED_TRACE(::testing::Message() << "chunk " << chunks);
      EXPECT_EQ(lastChunkLength(models_), core + 48 + 56 - first);
      EXPECT_LT(maxMelDifference(lastChunkMel(models_), mel, first), 1e-4f);
    }
    at += n;
  }
  EXPECT_EQ(chunks, (total - 56) / 48);

  // The last chunk of the session ends at the last padded frame.
  ASSERT_TRUE(diarizer_->finalizeSession());
  const std::int64_t lastCore = 48 * ((total - 1) / 48);
  EXPECT_EQ(lastChunkLength(models_), total - (lastCore - 8));
  EXPECT_LT(maxMelDifference(lastChunkMel(models_), mel, lastCore - 8), 1e-4f);
}

TEST_F(SortformerDiarizerTest, FinalizingFlushesTheTailAndMakesEveryFrameFinal) {
  // 16,000 samples: 99 mel frames while streaming, too few for a chunk; the flush adds 2.
  EXPECT_FALSE(diarizer_->process(testsupport::sortformerBandAudio(0, 16'000), std::nullopt));
  const auto update = diarizer_->finalizeSession();
  ASSERT_TRUE(update);
  // The last of the three chunks has 8 frames of left context and the 5 frames 96 … 100.
  EXPECT_EQ(lastChunkLength(models_), 13);
  // 101 mel frames are 13 model frames, all final.
  EXPECT_EQ(diarizer_->numFramesProcessed(), 13);
  const auto timeline = diarizer_->timeline();
  EXPECT_EQ(timeline->numFinalizedFrames(), 13);
  EXPECT_EQ(timeline->numTentativeFrames(), 0);
  // The run still open at the last frame closes as the tail becomes final.
  expectTurns(allSegments(*timeline), {{0, 0, 13}}, 1);
  for (const auto& [slot, speaker] : timeline->speakers()) EXPECT_EQ(speaker->tentativeSegmentCount(), 0);

  // A second call changes nothing.
  const auto before = timeline->takeSnapshot();
  EXPECT_FALSE(diarizer_->finalizeSession());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 13);
  EXPECT_EQ(timeline->takeSnapshot().speakers(), before.speakers());
  EXPECT_EQ(timeline->numFinalizedFrames(), 13);
}

TEST_F(SortformerDiarizerTest, FinalizingMakesTheStreamingTailFinal) {
  // Two chunks ran while streaming; their last right context is the tail. The flush then cuts
  // the chunks that follow.
  diarizer_->process(testsupport::sortformerBandAudio(1, 24'360), std::nullopt);
  ASSERT_EQ(diarizer_->timeline()->numTentativeFrames(), 7);
  ASSERT_TRUE(diarizer_->finalizeSession());
  // 24,360 samples give 153 mel frames with the flush: 20 model frames.
  EXPECT_EQ(diarizer_->numFramesProcessed(), 20);
  EXPECT_EQ(diarizer_->timeline()->numFinalizedFrames(), 20);
  expectTurns(allSegments(*diarizer_->timeline()), {{1, 0, 20}}, 1);
}

TEST_F(SortformerDiarizerTest, FinalizingWithoutAudioFinalizesAnEmptyTimeline) {
  EXPECT_FALSE(diarizer_->finalizeSession());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
  EXPECT_EQ(diarizer_->timeline()->numFrames(), 0);
  EXPECT_FALSE(diarizer_->finalizeSession());

  // The session is over: audio goes nowhere until reset().
  testsupport::SystemLogCapture log;
  EXPECT_FALSE(diarizer_->process(testsupport::sortformerBandAudio(0, 20'000), std::nullopt));
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
  EXPECT_EQ(pipelineLines(log, Level::error).size(), 1u);
}

TEST_F(SortformerDiarizerTest, AudioAfterTheEndOfASessionIsDroppedWithOneWarningPerSession) {
  const auto audio = testsupport::sortformerBandAudio(0, 20'000);
  testsupport::SystemLogCapture log;
  for (int session = 1; session <= 2; ++session) {
    SCOPED_TRACE(::testing::Message() << "session " << session);
    // Accepted while the session runs.
    ASSERT_TRUE(diarizer_->process(audio, std::nullopt));
    ASSERT_TRUE(diarizer_->finalizeSession());
    const auto frames = diarizer_->numFramesProcessed();

    diarizer_->addAudio(audio);
    diarizer_->addAudio(audio, 16000.0);
    EXPECT_FALSE(diarizer_->process(audio, std::nullopt));
    EXPECT_FALSE(diarizer_->process());
    EXPECT_EQ(diarizer_->numFramesProcessed(), frames);
    const std::vector<std::string> warnings(static_cast<std::size_t>(session),
                                            "Audio added after finalizeSession is ignored; call "
                                            "reset() to start a new session");
    EXPECT_EQ(pipelineLines(log, Level::error), warnings);
    diarizer_->reset();
  }
}

TEST_F(SortformerDiarizerTest, ReadersOnOtherThreadsSeeWholeChunkResults) {
  const auto audio = speechInTurns({0, 1, 2}, 32'000);
  std::atomic<bool> done = false;
  std::atomic<int> torn = 0;
  std::thread reader([&] {
    std::int64_t last = 0;
    while (!done) {
      const auto timeline = diarizer_->timeline();
      std::int64_t segmentsEnd = 0;
      for (const auto& [slot, speaker] : timeline->speakers()) {
        for (const auto& segment : speaker->finalizedSegments()) segmentsEnd = std::max(segmentsEnd, segment.endFrame);
      }
      const auto frames = timeline->numFinalizedFrames();
      // Every hand-over adds whole cores of 6 frames, and nothing goes back.
      if (frames % 6 != 0 || frames < last || segmentsEnd > frames) ++torn;
      last = frames;
      torn += diarizer_->numFramesProcessed() % 6 != 0;
      std::this_thread::yield();
    }
  });
  for (std::size_t at = 0; at < audio.size(); at += 8'000) {
    diarizer_->process(std::span(audio).subspan(at, std::min<std::size_t>(8'000, audio.size() - at)),
                       std::nullopt);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 66);
}

TEST(SortformerDiarizerPropertiesTest, EveryPresetWorksAt16kHzWithFourSlotsOf80ms) {
  const SortformerConfig* presets[] = {
      &SortformerConfig::default_(),       &SortformerConfig::fastV2(),
      &SortformerConfig::fastV2_1(),       &SortformerConfig::balancedV2(),
      &SortformerConfig::balancedV2_1(),   &SortformerConfig::highContextV2(),
      &SortformerConfig::highContextV2_1(), &SortformerConfig::efficientV2_1()};
  for (const auto* preset : presets) {
    SCOPED_TRACE(preset->chunkLen);
    const SortformerDiarizer diarizer(*preset);
    // 0.08 in single precision is a little under 0.08.
    EXPECT_NEAR(*diarizer.modelFrameHz(), 12.50000028, 1e-8);
    EXPECT_NE(*diarizer.modelFrameHz(), 12.5);
    EXPECT_EQ(diarizer.targetSampleRate(), 16000);
    EXPECT_EQ(diarizer.numSpeakers(), 4);
    EXPECT_FALSE(diarizer.isAvailable());
    EXPECT_EQ(diarizer.numFramesProcessed(), 0);
  }
}

TEST(SortformerDiarizerPropertiesTest, TimelineTakesItsSlotCountFromTheModel) {
  DiarizerTimelineConfig timelineConfig{.numSpeakers = 1, .onsetPadFrames = 2, .minFramesOff = 3};
  const SortformerDiarizer diarizer(SortformerConfig::balancedV2_1(), timelineConfig);
  timelineConfig.numSpeakers = 4;
  EXPECT_EQ(diarizer.timeline()->config(), timelineConfig);
  // Always the same object.
  EXPECT_EQ(diarizer.timeline(), diarizer.timeline());
}

TEST(SortformerDiarizerPropertiesTest, OperationsThatRunTheModelNeedOne) {
  const auto audio = testsupport::sortformerBandAudio(0, 20'000);
  SortformerDiarizer diarizer(SortformerConfig::balancedV2_1());
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"process", [&] { diarizer.process(); }},
      {"process samples", [&] { diarizer.process(audio, std::nullopt); }},
      {"finalizeSession", [&] { diarizer.finalizeSession(); }},
      {"processComplete", [&] { diarizer.processComplete(audio, std::nullopt, std::nullopt, true, {}); }},
      {"enrollSpeaker", [&] { diarizer.enrollSpeaker(audio, std::nullopt, "Chair", false); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.run();
      ADD_FAILURE() << "no error";
    } catch (const SortformerError& e) {
      EXPECT_EQ(e.errorCode(), SortformerError::Code::notInitialized);
    }
  }
  // Buffering needs no model.
  EXPECT_NO_THROW(diarizer.addAudio(audio));
  EXPECT_NO_THROW(diarizer.addAudio(audio, 48000.0));
}

TEST_F(SortformerDiarizerTest, CleanupDropsTheModelsAndResetKeepsThem) {
  diarizer_->process(testsupport::sortformerBandAudio(0, 30'000), std::nullopt);
  ASSERT_GT(diarizer_->numFramesProcessed(), 0);

  diarizer_->reset();
  EXPECT_TRUE(diarizer_->isAvailable());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
  EXPECT_EQ(diarizer_->timeline()->numFrames(), 0);
  EXPECT_TRUE(diarizer_->timeline()->speakers().empty());
  EXPECT_EQ(diarizer_->state().fifoLength, 0);
  EXPECT_EQ(diarizer_->state().meanSilenceEmbedding.size(), 512u);

  diarizer_->process(testsupport::sortformerBandAudio(0, 30'000), std::nullopt);
  diarizer_->cleanup();
  EXPECT_FALSE(diarizer_->isAvailable());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
  EXPECT_TRUE(diarizer_->timeline()->speakers().empty());
  EXPECT_TRUE(diarizer_->state().meanSilenceEmbedding.empty());
  EXPECT_THROW(diarizer_->process(), SortformerError);

  // A new initialisation starts a fresh session.
  diarizer_->initialize(models_);
  EXPECT_EQ(diarizer_->state().meanSilenceEmbedding.size(), 512u);
  EXPECT_TRUE(diarizer_->process(testsupport::sortformerBandAudio(0, 20'000), std::nullopt));
}

TEST(SortformerDiarizerInitializationTest, ModelExportedForOtherSettingsIsUsedWithAnErrorLine) {
  const auto& config = SortformerConfig::balancedV2_1();
  const std::string mismatch =
      "Sortformer config mismatch \u2014 diarizer config does not match the loaded model. This "
      "produces incorrect and much slower diarization. diarizer(chunkLen=6, leftCtx=1, rightCtx=7, "
      "fifoLen=188, spkcacheLen=188) vs model(chunkLen=6, leftCtx=1, rightCtx=7, fifoLen=40, "
      "spkcacheLen=188). Construct SortformerDiarizer with the SortformerConfig matching the model "
      "variant.";
  struct Case {
    const char* name;
    const char* fifoLen;  // metadata; null for none
    bool compilePath;
    std::vector<std::string> errors;
    std::string lastInfo;
  };
  const Case cases[] = {
      {"mismatch, compiled from a package", "40", true, {mismatch}, "Sortformer initialized in "},
      {"mismatch, loaded set", "40", false, {mismatch}, "Sortformer initialized with pre-loaded models"},
      {"matching, loaded set", "188", false, {}, "Sortformer initialized with pre-loaded models"},
      {"no metadata, compiled", nullptr, true, {}, "Sortformer initialized in "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder folder;
    auto builder = testsupport::sortformerBandOracleModel(sizesOf(config), {}, false);
    if (c.fifoLen) {
      builder.creatorDefined("chunk_len", "6")
          .creatorDefined("chunk_left_context", "1")
          .creatorDefined("chunk_right_context", "7")
          .creatorDefined("fifo_len", c.fifoLen)
          .creatorDefined("spkcache_len", "188");
    }
    SortformerDiarizer diarizer(config);
    testsupport::SystemLogCapture log;
    if (c.compilePath) {
      diarizer.initialize(builder.writePackage(folder.path()));
    } else {
      diarizer.initialize(loadModels(config, builder, folder.path()));
    }
    EXPECT_EQ(pipelineLines(log, Level::error), c.errors);
    const auto infos = pipelineLines(log, Level::info);
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back().rfind(c.lastInfo, 0), 0u) << infos.back();
    if (c.compilePath) {
      EXPECT_EQ(infos.front(), "Initializing Sortformer diarizer (combined pipeline mode)");
      EXPECT_EQ(infos.back().back(), 's');
    }
    EXPECT_TRUE(diarizer.isAvailable());
    EXPECT_TRUE(diarizer.process(testsupport::sortformerBandAudio(3, 20'000), std::nullopt));
    expectTurns(allSegments(*diarizer.timeline()), {{3, 0, 13}}, 1);
  }
}

TEST_F(SortformerDiarizerTest, SampleRatesThatMeanNothingAreTheConvertersError) {
  const auto audio = testsupport::sortformerBandAudio(0, 20'000);
  const double rates[] = {0.0, -16000.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
  for (const double rate : rates) {
    SCOPED_TRACE(rate);
    EXPECT_THROW(diarizer_->addAudio(audio, rate), AudioConverterError);
    EXPECT_THROW(diarizer_->process(audio, rate), AudioConverterError);
    EXPECT_THROW(diarizer_->processComplete(audio, rate, std::nullopt, true, {}), AudioConverterError);
    EXPECT_THROW(diarizer_->enrollSpeaker(audio, rate, "Chair", false), AudioConverterError);
  }
  // Nothing was appended.
  EXPECT_FALSE(diarizer_->process());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
}

TEST_F(SortformerDiarizerTest, SamplesAreResampledOnlyWhenTheirRateDiffers) {
  struct Case {
    const char* name;
    std::optional<double> rate;
    bool chunkRuns;
  };
  // 16,680 samples are just enough for a chunk at 16 kHz; at 48 kHz they are a third of it.
  const Case cases[] = {
      {"absent rate is trusted", std::nullopt, true},
      {"16 kHz", 16000.0, true},
      {"48 kHz", 48000.0, false},
  };
  const auto audio = testsupport::sortformerBandAudio(0, 16'680);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    diarizer_->reset();
    EXPECT_EQ(diarizer_->process(audio, c.rate).has_value(), c.chunkRuns);
  }
}

TEST_F(SortformerDiarizerTest, SpeakersTakingTurnsLandInTheirSlotsAtTheirFrames) {
  // Slot 0, then slot 1, every 2 s (25 model frames), 8 s in all: 801 mel frames with the flush.
  const auto audio = speechInTurns({0, 1, 0, 1}, 32'000);
  const std::vector<Turn> turns = {{0, 0, 25}, {1, 25, 50}, {0, 50, 75}, {1, 75, 101}};
  struct Case {
    const char* name;
    double rate;
    std::int64_t tolerance;
  };
  const Case cases[] = {{"16 kHz in 0.5 s pieces", 16000, 1}, {"48 kHz in 0.5 s pieces", 48000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    diarizer_->reset();
    // The same speech, produced at the rate of the case.
    const auto input = AudioConverter(c.rate, false).resample(audio, 16000.0);
    const auto piece = static_cast<std::size_t>(c.rate / 2);
    for (std::size_t at = 0; at < input.size(); at += piece) {
      diarizer_->process(std::span(input).subspan(at, std::min(piece, input.size() - at)), c.rate);
    }
    diarizer_->finalizeSession();
    EXPECT_EQ(diarizer_->numFramesProcessed(), 101);
    expectTurns(allSegments(*diarizer_->timeline()), turns, c.tolerance);
  }
}

TEST_F(SortformerDiarizerTest, BrokenSamplesEndSpeechWithoutHarm) {
  struct Case {
    const char* name;
    float value;
  };
  // Pre-emphasis turns an infinite sample into NaN as well (inf − 0.97 × inf).
  const Case cases[] = {{"NaN", std::numeric_limits<float>::quiet_NaN()},
                        {"infinity", std::numeric_limits<float>::infinity()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    diarizer_->reset();
    // 2 s of slot 0, 0.5 s of broken samples, 2 s of slot 0.
    auto audio = testsupport::sortformerBandAudio(0, 72'000);
    std::fill(audio.begin() + 32'000, audio.begin() + 40'000, c.value);
    diarizer_->process(audio, std::nullopt);
    diarizer_->finalizeSession();
    EXPECT_EQ(diarizer_->numFramesProcessed(), 57);
    // Frames whose mel windows touch a broken sample have NaN probabilities, which end the run.
    expectTurns(allSegments(*diarizer_->timeline()), {{0, 0, 24}, {0, 32, 57}}, 1);
  }
}

TEST_F(SortformerDiarizerTest, ModelWithoutPredictionsFailsEachChunkAndLeavesTheDiarizerUsable) {
  testsupport::TemporaryFolder folder;
  const auto broken = loadModels(
      config_, testsupport::sortformerContractModel(testsupport::SortformerContractShape::noPredictions),
      folder.path());
  diarizer_->initialize(broken);
  const auto audio = testsupport::sortformerBandAudio(0, 20'000);
  for (int call = 0; call < 2; ++call) {
    try {
      diarizer_->process(audio, std::nullopt);
      ADD_FAILURE() << "no error";
    } catch (const SortformerError& e) {
      EXPECT_EQ(e.description(), "Inference failed: Missing speaker_preds or speaker_preds_out");
    }
  }
  diarizer_->initialize(models_);
  EXPECT_TRUE(diarizer_->process(audio, std::nullopt));
}

// A chunk that fails must not shift the frames after it: the chunks that ran reach the timeline,
// and the failed chunk's core counts as silence.
TEST_F(SortformerDiarizerTest, FailedChunkKeepsLaterFramesInPlace) {
  // Slot 0 until 2.88 s (frame 36), then slot 1 until 4.8 s. The third chunk's core (mel frames
  // 96 … 143) holds a loud stretch that makes the model fail on it alone.
  auto audio = testsupport::sortformerBandAudio(0, 46'080);
  const auto tail = testsupport::sortformerBandAudio(1, 30'720, 2);
  audio.insert(audio.end(), tail.begin(), tail.end());
  for (std::size_t t = 16'000; t < 22'000; ++t) audio[t] *= 1000.0f;
  testsupport::SortformerBandOracle oracle;
  oracle.failAboveCoreMel = 10.0f;
  testsupport::TemporaryFolder folder;
  auto failing = bandOracleModels(config_, folder.path(), oracle);
  diarizer_->initialize(failing);

  // 76,800 samples give 479 mel frames while streaming: eight chunks are complete; the third fails.
  EXPECT_THROW(diarizer_->process(audio, std::nullopt), platform::MLModelError);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 18);
  const auto timeline = diarizer_->timeline();
  EXPECT_EQ(timeline->numFinalizedFrames(), 18);
  EXPECT_GT(timeline->probability(0, 11), 0.9f);
  for (std::int64_t frame = 12; frame < 18; ++frame) EXPECT_EQ(timeline->probability(0, frame), 0.0f) << frame;

  ASSERT_TRUE(diarizer_->process());
  diarizer_->finalizeSession();
  EXPECT_EQ(diarizer_->numFramesProcessed(), 61);
  expectTurns(allSegments(*timeline), {{0, 0, 12}, {0, 18, 36}, {1, 36, 60}}, 0);
}

TEST_F(SortformerDiarizerTest, FailedChunkWhileFinalizingKeepsLaterFramesInPlace) {
  // One second: the flush cuts three chunks; the loud stretch lies in the second one's core only.
  auto audio = testsupport::sortformerBandAudio(0, 16'000);
  for (std::size_t t = 9'800; t < 14'200; ++t) audio[t] *= 1000.0f;
  testsupport::SortformerBandOracle oracle;
  oracle.failAboveCoreMel = 10.0f;
  testsupport::TemporaryFolder folder;
  diarizer_->initialize(bandOracleModels(config_, folder.path(), oracle));

  diarizer_->process(audio, std::nullopt);
  EXPECT_THROW(diarizer_->finalizeSession(), platform::MLModelError);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 12);
  EXPECT_EQ(diarizer_->timeline()->numFinalizedFrames(), 12);
  // Audio is refused, and a second call finishes the session with the last chunk.
  EXPECT_FALSE(diarizer_->process(audio, std::nullopt));
  diarizer_->finalizeSession();
  EXPECT_EQ(diarizer_->numFramesProcessed(), 13);
  expectTurns(allSegments(*diarizer_->timeline()), {{0, 0, 6}, {0, 12, 13}}, 0);
}

TEST_F(SortformerDiarizerTest, StoppedChunkCountsAsSilenceAndTheNextCallGoesOn) {
  const auto audio = speechInTurns({2, 3}, 24'000);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(diarizer_->process(audio, std::nullopt, stop.get_token()), platform::CancellationError);
  EXPECT_EQ(diarizer_->numFramesProcessed(), 6);
  EXPECT_EQ(diarizer_->timeline()->numFinalizedFrames(), 6);

  ASSERT_TRUE(diarizer_->process());
  diarizer_->finalizeSession();
  // 48,000 samples: 301 mel frames, 38 model frames; slot 3 from 1.5 s on, past the gap.
  EXPECT_EQ(diarizer_->numFramesProcessed(), 38);
  expectTurns(allSegments(*diarizer_->timeline()), {{2, 6, 19}, {3, 19, 38}}, 1);
}

}  // namespace
}  // namespace tesselaudio::testing
