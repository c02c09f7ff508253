#include <cstdint>
#include <fstream>
#include <stop_token>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/audio/AudioError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"
#include "tests/speech/Diarizer/Sortformer/SortformerDiarizerFixture.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/OutputCapture.h"

namespace tesselaudio::testing {
namespace {

class SortformerDiarizerBatchTest : public SortformerDiarizerFixture {
 protected:
  // Slot 0, then slot 1, every 2 s (25 model frames), 8 s in all.
  const std::vector<float> turns_ = speechInTurns({0, 1, 0, 1}, 32'000);
  const std::vector<Turn> expected_ = {{0, 0, 25}, {1, 25, 50}, {0, 50, 75}, {1, 75, 101}};
};

TEST_F(SortformerDiarizerBatchTest, WholeRecordingGivesTheSameTurnsAsStreaming) {
  // Something streamed before: the batch run starts a timeline of its own.
  diarizer_->process(testsupport::sortformerBandAudio(3, 20'000), std::nullopt);

  const auto timeline = diarizer_->processComplete(turns_, std::nullopt, std::nullopt, true, {});
  EXPECT_EQ(timeline, diarizer_->timeline());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 101);
  EXPECT_EQ(timeline->numFinalizedFrames(), 101);
  EXPECT_EQ(timeline->numTentativeFrames(), 0);
  expectTurns(allSegments(*timeline), expected_, 1);
  for (const auto& [slot, speaker] : timeline->speakers()) EXPECT_EQ(speaker->tentativeSegmentCount(), 0);

  // Without finalizing: the same frames and turns (the last chunk has no right context).
  diarizer_->processComplete(turns_, std::nullopt, std::nullopt, false, {});
  EXPECT_EQ(diarizer_->numFramesProcessed(), 101);
  EXPECT_EQ(timeline->numFinalizedFrames(), 101);
  expectTurns(allSegments(*timeline), expected_, 1);
}

TEST_F(SortformerDiarizerBatchTest, RecordingFileIsReadThroughTheAudioLayer) {
  testsupport::TemporaryFolder folder;
  const auto recording = folder / "meeting.m4a";
  // The application records AAC at 48 kHz, one channel.
  testsupport::writeAac(recording, 48000, {AudioConverter(48000.0, false).resample(turns_, 16000.0)}, 96000);

  const auto timeline = diarizer_->processComplete(recording, std::nullopt, true, {});
  EXPECT_NEAR(static_cast<double>(diarizer_->numFramesProcessed()), 101, 1);
  expectTurns(allSegments(*timeline), expected_, 2);
}

TEST_F(SortformerDiarizerBatchTest, UnreadableFilesFailWithTheReadersError) {
  testsupport::TemporaryFolder folder;
  std::ofstream(folder / "notes.m4a") << "not audio at all";
  // A real container whose only stream is not audio would need a video encoder; an empty file and
  // a text file both hold no audio stream.
  std::ofstream(folder / "empty.wav").flush();
  for (const auto* name : {"missing.m4a", "notes.m4a", "empty.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(diarizer_->processComplete(folder / name, std::nullopt, true, {}), platform::AudioError);
  }
  // Still usable.
  EXPECT_EQ(diarizer_->processComplete(turns_, std::nullopt, std::nullopt, true, {})->speakers().size(), 2u);
}

TEST_F(SortformerDiarizerBatchTest, EmptyRecordingGivesAnEmptyTimeline) {
  diarizer_->process(testsupport::sortformerBandAudio(3, 20'000), std::nullopt);
  const auto timeline = diarizer_->processComplete(std::vector<float>{}, std::nullopt, false, true, {});
  EXPECT_EQ(timeline->numFrames(), 0);
  EXPECT_TRUE(timeline->speakers().empty());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
}

TEST_F(SortformerDiarizerBatchTest, ProgressCountsSamplesAndChunks) {
  // One second: 101 mel frames, three chunks of 48, 48 and 5 core frames.
  std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t>> calls;
  diarizer_->processComplete(testsupport::sortformerBandAudio(0, 16'000), std::nullopt, std::nullopt, true,
                             [&](std::int64_t done, std::int64_t total, std::int64_t chunks) {
                               calls.emplace_back(done, total, chunks);
                             });
  const decltype(calls) expected = {{7'680, 16'000, 1}, {15'360, 16'000, 2}, {16'000, 16'000, 3}};
  EXPECT_EQ(calls, expected);
}

TEST_F(SortformerDiarizerBatchTest, DebugModePrintsTheRunsTotals) {
  struct Case {
    bool debugMode;
    std::string output;
  };
  const Case cases[] = {
      {true, "[DEBUG] Phase 2 complete: diarizerChunks=3, totalProbs=52, totalFrames=13\n"},
      {false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.debugMode);
    auto config = config_;
    config.debugMode = c.debugMode;
    SortformerDiarizer diarizer(config);
    diarizer.initialize(models_);
    testsupport::OutputCapture stdoutCapture(STDOUT_FILENO);
    diarizer.processComplete(testsupport::sortformerBandAudio(0, 16'000), std::nullopt, std::nullopt, true, {});
    EXPECT_EQ(stdoutCapture.text(), c.output);
  }
}

TEST_F(SortformerDiarizerBatchTest, SessionCanStreamOnAndEndAfterAWholeRecording) {
  diarizer_->processComplete(turns_, std::nullopt, std::nullopt, true, {});
  // The batch run does not end the session: audio that follows is taken after the recording's
  // 101 frames, and ending the session works.
  EXPECT_FALSE(diarizer_->process(testsupport::sortformerBandAudio(2, 16'000), std::nullopt));
  ASSERT_TRUE(diarizer_->finalizeSession());
  EXPECT_EQ(diarizer_->numFramesProcessed(), 114);
  EXPECT_EQ(diarizer_->timeline()->numFinalizedFrames(), 114);
  expectTurns(allSegments(*diarizer_->timeline()), {{0, 0, 25}, {1, 25, 50}, {0, 50, 75}, {1, 75, 101}, {2, 101, 114}}, 1);
}

TEST_F(SortformerDiarizerBatchTest, StopRequestEndsTheRun) {
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(diarizer_->processComplete(turns_, std::nullopt, std::nullopt, true, {}, stop.get_token()),
               platform::CancellationError);
  EXPECT_EQ(diarizer_->processComplete(turns_, std::nullopt, false, true, {})->speakers().size(), 2u);
}

}  // namespace
}  // namespace tesselaudio::testing
