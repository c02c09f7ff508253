#include "speech/Diarizer/LS-EEND/LSEENDDiarizer.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Shared/AudioConverterError.h"
#include "tests/speech/Diarizer/LS-EEND/LSEENDDiarizerFixture.h"

namespace tesselaudio {
namespace {

using namespace lseendtest;
using Progress = std::tuple<std::int64_t, std::int64_t, std::int64_t>;

class LSEENDDiarizerTest : public testing::Test, protected LSEENDDiarizerFixture {
 protected:
  // Frames each process() added, one piece of `pieceSamples` at a time, skipping calls that ran
  // no chunk.
  static std::vector<std::int64_t> framesPerCall(LSEENDDiarizer& diarizer, const std::vector<float>& audio,
                                                 std::int64_t pieceSamples = kSamplesPerChunk) {
    std::vector<std::int64_t> added;
    for (std::size_t at = 0; at < audio.size(); at += static_cast<std::size_t>(pieceSamples)) {
      const auto end = std::min(audio.size(), at + static_cast<std::size_t>(pieceSamples));
      const std::int64_t before = diarizer.numFramesProcessed();
      if (diarizer.process(std::span<const float>(audio).subspan(at, end - at), std::nullopt)) {
        added.push_back(diarizer.numFramesProcessed() - before);
      }
    }
    return added;
  }
};

bool isNotInitialized(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const LSEENDError& error) {
    return error.errorCase() == LSEENDError::Case::notInitialized;
  }
  return false;
}

TEST_F(LSEENDDiarizerTest, OperationsWithoutModelAreNotInitialized) {
  LSEENDDiarizer diarizer;
  const std::vector<float> one{0.1f};
  const auto file = folder_ / "a.wav";
  testsupport::writeEncoded(file, 16000, {tone(0, 0.5)}, "pcm_s16le");

  EXPECT_NO_THROW(diarizer.addAudio({}, std::nullopt));
  const struct {
    const char* name;
    std::function<void()> operation;
  } cases[] = {
      {"addAudio", [&] { diarizer.addAudio(one, std::nullopt); }},
      {"process", [&] { diarizer.process(); }},
      {"processSamples", [&] { diarizer.process(one, std::nullopt); }},
      {"processComplete", [&] { diarizer.processComplete(one, std::nullopt, std::nullopt, true, {}); }},
      {"processCompleteFile", [&] { diarizer.processComplete(file, std::nullopt, true, {}); }},
      {"enrollSpeaker", [&] { diarizer.enrollSpeaker(tone(0, 1), std::nullopt, "A", false); }},
      {"finalizeSession", [&] { diarizer.finalizeSession(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(isNotInitialized(c.operation));
  }
  EXPECT_FALSE(diarizer.isAvailable());
  EXPECT_EQ(diarizer.numFramesProcessed(), 0);
}

TEST_F(LSEENDDiarizerTest, WithoutModelTheTimelineTakesTheDefaultOrGivenConfiguration) {
  const LSEENDDiarizer plain;
  EXPECT_EQ(plain.timelineConfig(), DiarizerTimelineConfig::default_(1, 0.1f));
  EXPECT_EQ(plain.timeline()->config(), DiarizerTimelineConfig::default_(1, 0.1f));
  EXPECT_FALSE(plain.targetSampleRate());
  EXPECT_FALSE(plain.modelFrameHz());
  EXPECT_FALSE(plain.numSpeakers());

  auto given = DiarizerTimelineConfig::default_(3, 0.05f);
  given.minFramesOn = 4;
  EXPECT_EQ(LSEENDDiarizer(given).timeline()->config(), given);
}

TEST_F(LSEENDDiarizerTest, AModelSetsItsRatesAndSpeakerCountAndKeepsTheCallersTimelineFields) {
  auto given = DiarizerTimelineConfig::default_(1, 0.1f);
  given.onsetThreshold = 0.7f;
  given.offsetThreshold = 0.3f;
  given.onsetPadFrames = 2;
  given.minFramesOff = 5;
  given.maxStoredFrames = 100;
  given.storeSegments = false;
  const auto diarizer = this->diarizer(kTones, given);

  EXPECT_TRUE(diarizer->isAvailable());
  EXPECT_EQ(diarizer->targetSampleRate(), 16000);
  EXPECT_EQ(diarizer->modelFrameHz(), 50.00000111758712);
  EXPECT_EQ(diarizer->numSpeakers(), 4);
  auto expected = given;
  expected.numSpeakers = 4;
  expected.frameDurationSeconds = 0.02f;
  EXPECT_EQ(diarizer->timelineConfig(), expected);
  EXPECT_EQ(diarizer->timeline()->config(), expected);
}

TEST_F(LSEENDDiarizerTest, ProcessBeforeAWholeChunkReturnsNothing) {
  const auto diarizer = this->diarizer();
  const auto before = diarizer->timeline()->takeSnapshot();
  EXPECT_FALSE(diarizer->process(tone(0, 0.1), std::nullopt));
  EXPECT_FALSE(diarizer->process());
  EXPECT_EQ(diarizer->numFramesProcessed(), 0);
  EXPECT_EQ(diarizer->timeline()->takeSnapshot().finalizedPredictions(), before.finalizedPredictions());
}

TEST_F(LSEENDDiarizerTest, WarmUpFramesAreDroppedAtTheStartOfEverySession) {
  const auto diarizer = this->diarizer();
  const auto audio = silence(2);
  auto added = framesPerCall(*diarizer, audio);
  ASSERT_GE(added.size(), 2u);
  EXPECT_EQ(added[0], 8);
  EXPECT_EQ(added[1], 10);

  diarizer->reset();
  EXPECT_EQ(diarizer->numFramesProcessed(), 0);
  added = framesPerCall(*diarizer, audio);
  ASSERT_GE(added.size(), 2u);
  EXPECT_EQ(added[0], 8);
  EXPECT_EQ(added[1], 10);
}

TEST_F(LSEENDDiarizerTest, ProcessCompleteReportsProgressPerChunk) {
  const auto diarizer = this->diarizer();
  std::vector<Progress> calls;
  diarizer->processComplete(silence(2), std::nullopt, std::nullopt, false,
                            [&](std::int64_t done, std::int64_t total, std::int64_t chunks) {
                              calls.emplace_back(done, total, chunks);
                            });
  const auto k = static_cast<std::int64_t>(calls.size());
  ASSERT_GE(k, 3);
  for (std::int64_t i = 1; i <= k; ++i) {
    EXPECT_EQ(calls[static_cast<std::size_t>(i - 1)], Progress(i * kSamplesPerChunk, k * kSamplesPerChunk, i));
  }
  EXPECT_EQ(diarizer->numFramesProcessed(), k * 10 - 2);
}

TEST_F(LSEENDDiarizerTest, ProcessCompleteKeepsEnrolledSpeakersOnlyOnAFreshTimeline) {
  const struct {
    const char* name;
    std::optional<bool> keeping;
    bool segmentsBefore;
    bool kept;
  } cases[] = {
      {"defaultFresh", std::nullopt, false, true},
      {"defaultWithSegments", std::nullopt, true, false},
      {"keepWithSegments", true, true, true},
      {"dropFresh", false, false, false},
  };
  const auto audio = joined({silence(2), tone(2, 1)});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto diarizer = this->diarizer();
    if (c.segmentsBefore) diarizer->processComplete(audio, std::nullopt, std::nullopt, true, {});
    ASSERT_EQ(diarizer->timeline()->hasSegments(), c.segmentsBefore);
    diarizer->timeline()->upsertSpeaker("Ann", 3);

    const auto timeline = diarizer->processComplete(audio, std::nullopt, c.keeping, true, {});
    EXPECT_EQ(timeline, diarizer->timeline());
    const auto speakers = timeline->speakers();
    EXPECT_EQ(speakers.contains(3) && speakers.at(3)->name() == "Ann", c.kept);
    ASSERT_TRUE(speakers.contains(2));
    EXPECT_FALSE(speakers.at(2)->finalizedSegments().empty());
  }
}

TEST_F(LSEENDDiarizerTest, FinalizeOnCompletionFlushesTheEndOfTheAudio) {
  const auto audio = joined({silence(2), tone(1, 1)});
  const auto open = this->diarizer();
  open->processComplete(audio, std::nullopt, std::nullopt, false, {});
  const auto closed = this->diarizer();
  closed->processComplete(audio, std::nullopt, std::nullopt, true, {});

  // 3 s of 20 ms frames less the 2 warm-up frames: the flush brings every one out, the open run
  // does not.
  EXPECT_LT(open->numFramesProcessed(), 148);
  EXPECT_GE(closed->numFramesProcessed(), 148);
  const auto segments = closed->timeline()->speakers().at(1)->finalizedSegments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(segments[0].endTime(), 3.0, 0.1);
  EXPECT_TRUE(open->timeline()->speakers().at(1)->finalizedSegments().empty());
  // A finalized run refuses a second finalizeSession.
  EXPECT_FALSE(closed->finalizeSession());
  EXPECT_TRUE(open->finalizeSession());
}

TEST_F(LSEENDDiarizerTest, FinalizeSessionReturnsTheLastUpdateOnce) {
  const auto diarizer = this->diarizer();
  framesPerCall(*diarizer, joined({silence(2), tone(0, 1)}));
  const auto update = diarizer->finalizeSession();
  ASSERT_TRUE(update);
  // Taken before the timeline's finalization: the running tone is still tentative there.
  ASSERT_EQ(update->tentativeSegments.size(), 1u);
  EXPECT_EQ(update->tentativeSegments[0].speakerIndex, 0);
  EXPECT_EQ(diarizer->timeline()->speakers().at(0)->finalizedSegments().size(), 1u);

  const auto frames = diarizer->numFramesProcessed();
  const auto before = diarizer->timeline()->takeSnapshot();
  EXPECT_FALSE(diarizer->finalizeSession());
  EXPECT_EQ(diarizer->numFramesProcessed(), frames);
  EXPECT_EQ(diarizer->timeline()->takeSnapshot().finalizedPredictions(), before.finalizedPredictions());

  // Streaming goes on after the end of a session.
  EXPECT_TRUE(diarizer->process(silence(1), std::nullopt));
  EXPECT_GT(diarizer->numFramesProcessed(), frames);
}

TEST_F(LSEENDDiarizerTest, CleanupDropsTheModelAndKeepsTheResults) {
  const auto diarizer = this->diarizer();
  diarizer->processComplete(joined({silence(2), tone(0, 1)}), std::nullopt, std::nullopt, true, {});
  const auto timeline = diarizer->timeline();
  const auto frames = diarizer->numFramesProcessed();

  diarizer->cleanup();
  EXPECT_FALSE(diarizer->isAvailable());
  EXPECT_FALSE(diarizer->targetSampleRate());
  EXPECT_FALSE(diarizer->modelFrameHz());
  EXPECT_FALSE(diarizer->numSpeakers());
  EXPECT_TRUE(isNotInitialized([&] { diarizer->process(); }));
  EXPECT_EQ(diarizer->timeline(), timeline);
  EXPECT_EQ(diarizer->numFramesProcessed(), frames);
  EXPECT_EQ(timeline->speakers().at(0)->finalizedSegments().size(), 1u);
}

TEST_F(LSEENDDiarizerTest, InitializeReplacesTheTimelineAndRestartsEveryCounter) {
  auto config = DiarizerTimelineConfig::default_(1, 0.1f);
  config.minFramesOn = 3;
  const auto diarizer = std::make_shared<LSEENDDiarizer>(config);
  diarizer->initialize(model());
  const auto audio = joined({silence(2), tone(0, 1)});
  framesPerCall(*diarizer, audio);
  ASSERT_TRUE(diarizer->finalizeSession());
  const auto old = diarizer->timeline();
  old->upsertSpeaker("Ann", 1);

  diarizer->initialize(model());
  EXPECT_NE(diarizer->timeline(), old);
  EXPECT_TRUE(diarizer->timeline()->speakers().empty());
  EXPECT_EQ(diarizer->timeline()->config().minFramesOn, 3);
  EXPECT_EQ(diarizer->timeline()->config().numSpeakers, 4);
  EXPECT_EQ(diarizer->numFramesProcessed(), 0);
  const auto added = framesPerCall(*diarizer, audio);
  ASSERT_FALSE(added.empty());
  EXPECT_EQ(added[0], 8);
  EXPECT_TRUE(diarizer->finalizeSession());
}

// A prediction failing in the middle of a flush: the chunks before it reach the timeline, and the
// failed chunk's frames count as silence, so later frames keep their place in time.
TEST_F(LSEENDDiarizerTest, AFailedChunkKeepsLaterFramesInPlace) {
  const auto audio = joined({silence(2), tone(0, 1)});
  const auto healthy = this->diarizer();
  healthy->processComplete(audio, std::nullopt, std::nullopt, false, {});
  const auto expected = healthy->timeline()->finalizedPredictions();

  auto failing = kTones;
  failing.failAtCounter = 3;
  const auto diarizer = this->diarizer(failing);
  EXPECT_THROW(diarizer->processComplete(audio, std::nullopt, std::nullopt, false, {}), platform::MLModelError);
  ASSERT_EQ(diarizer->numFramesProcessed(), 8 + 10 + 10);
  const auto got = diarizer->timeline()->finalizedPredictions();
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i], i < 18 * kSpeakers ? expected[i] : 0.0f);
  }

  // Every later call fails as well, each chunk still taking its place.
  EXPECT_THROW(diarizer->process(), platform::MLModelError);
  EXPECT_EQ(diarizer->numFramesProcessed(), 38);
}

TEST_F(LSEENDDiarizerTest, AStopBetweenChunksKeepsTheChunksThatRan) {
  const auto diarizer = this->diarizer();
  const auto audio = silence(2);
  std::stop_source stop;
  EXPECT_THROW(diarizer->processComplete(audio, std::nullopt, std::nullopt, false,
                                         [&](std::int64_t, std::int64_t, std::int64_t chunks) {
                                           if (chunks == 2) stop.request_stop();
                                         },
                                         stop.get_token()),
               platform::CancellationError);
  EXPECT_EQ(diarizer->numFramesProcessed(), 18);

  // Nothing was lost: the next chunk carries on where the stop left off.
  const auto before = diarizer->numFramesProcessed();
  ASSERT_TRUE(diarizer->process());
  const auto healthy = this->diarizer();
  healthy->processComplete(audio, std::nullopt, std::nullopt, false, {});
  EXPECT_EQ(diarizer->numFramesProcessed(), healthy->numFramesProcessed());
  EXPECT_GT(diarizer->numFramesProcessed(), before);
}

TEST_F(LSEENDDiarizerTest, ConversionErrorsPropagate) {
  const auto diarizer = this->diarizer();
  EXPECT_THROW(diarizer->addAudio(tone(0, 0.1), -1.0), AudioConverterError);
  EXPECT_THROW(diarizer->processComplete(tone(0, 0.1), 0.0, std::nullopt, true, {}), AudioConverterError);
  EXPECT_ANY_THROW(diarizer->processComplete(folder_ / "missing.wav", std::nullopt, true, {}));
  EXPECT_EQ(diarizer->numFramesProcessed(), 0);
}

TEST_F(LSEENDDiarizerTest, NaNSamplesDoNotCrash) {
  const auto diarizer = this->diarizer();
  std::vector<float> audio(32000, std::numeric_limits<float>::quiet_NaN());
  try {
    diarizer->process(audio, std::nullopt);
    diarizer->finalizeSession();
  } catch (const platform::Error&) {
    // Refusing them is fine; crashing is not.
  }
  SUCCEED();
}

TEST_F(LSEENDDiarizerTest, FileFormReadsAndConvertsTheWholeFile) {
  const auto audio = joined({silence(2), tone(3, 1)});
  const auto file = folder_ / "speech.wav";
  testsupport::writeEncoded(file, 16000, {audio}, "pcm_s16le");
  const auto diarizer = this->diarizer();
  std::vector<Progress> calls;
  diarizer->processComplete(file, std::nullopt, true, [&](std::int64_t a, std::int64_t b, std::int64_t c) {
    calls.emplace_back(a, b, c);
  });
  EXPECT_FALSE(calls.empty());
  const auto segments = diarizer->timeline()->speakers().at(3)->finalizedSegments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(segments[0].startTime(), 2.0, 0.1);
}

}  // namespace
}  // namespace tesselaudio
