#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/speech/Diarizer/Sortformer/SortformerDiarizerFixture.h"

namespace tesselaudio::testing {
namespace {

using Level = platform::SystemLog::Level;

class SortformerDiarizerEnrollmentTest : public SortformerDiarizerFixture {
 protected:
  // Two seconds of a slot's voice: three chunks with their right context.
  static std::vector<float> voice(int slot, unsigned seed = 7) {
    return testsupport::sortformerBandAudio(slot, 32'000, seed);
  }

  std::shared_ptr<DiarizerSpeaker> enroll(const std::vector<float>& audio,
                                          std::optional<std::string> name, bool overwriting = false) {
    return diarizer_->enrollSpeaker(audio, std::nullopt, std::move(name), overwriting);
  }

  std::optional<std::string> nameAt(std::int64_t slot) const {
    const auto speakers = diarizer_->timeline()->speakers();
    const auto it = speakers.find(slot);
    return it == speakers.end() ? std::nullopt : it->second->name();
  }
};

TEST_F(SortformerDiarizerEnrollmentTest, VoiceIsNamedAtItsSlotAndKeptForTheNextStream) {
  testsupport::SystemLogCapture log;
  const auto chair = enroll(voice(2), "Chair");
  ASSERT_TRUE(chair);
  EXPECT_EQ(chair->name(), "Chair");
  EXPECT_EQ(chair->index(), 2);
  const std::vector<std::string> infos = {
      "Enrolled speaker named 'Chair' with 32000 samples (2.0s), spkcache=0, fifo=18"};
  EXPECT_EQ(pipelineLines(log, Level::info), infos);
  EXPECT_TRUE(pipelineLines(log, Level::error).empty());

  // Ready for a stream from time 0; the streaming state holds the three chunks of the voice.
  EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
  const auto timeline = diarizer_->timeline();
  EXPECT_EQ(timeline->numFrames(), 0);
  EXPECT_TRUE(timeline->finalizedPredictions().empty());
  EXPECT_FALSE(timeline->hasSegments());
  EXPECT_EQ(timeline->speakers().size(), 1u);
  EXPECT_EQ(diarizer_->state().fifoLength, 18);
  EXPECT_FALSE(diarizer_->process());

  // The whole recording that follows keeps the named speaker: its slot's segments are Chair's.
  diarizer_->processComplete(speechInTurns({2, 0, 2}, 32'000), std::nullopt, std::nullopt, true, {});
  const auto speakers = timeline->speakers();
  ASSERT_TRUE(speakers.contains(2));
  EXPECT_EQ(speakers.at(2), chair);
  EXPECT_EQ(chair->name(), "Chair");
  expectTurns(chair->finalizedSegments(), {{2, 0, 25}, {2, 50, 76}}, 1);
  EXPECT_EQ(speakers.at(0)->name(), std::nullopt);
}

TEST_F(SortformerDiarizerEnrollmentTest, EmptyAudioEnrollsNobodyWithoutError) {
  const std::vector<float> nothing;
  testsupport::SystemLogCapture log;
  // Even without models.
  SortformerDiarizer bare(config_);
  EXPECT_EQ(bare.enrollSpeaker(nothing, std::nullopt, "Chair", false), nullptr);

  ASSERT_TRUE(enroll(voice(1), "Bob"));
  const auto state = diarizer_->state();
  EXPECT_EQ(enroll(nothing, std::nullopt), nullptr);
  EXPECT_EQ(diarizer_->state().fifoLength, state.fifoLength);
  EXPECT_EQ(diarizer_->state().fifo, state.fifo);
  EXPECT_EQ(nameAt(1), "Bob");

  const std::vector<std::string> warnings = {
      "Failed to enroll speaker named 'Chair' because no speech detected",
      "Failed to enroll speaker (no name) because no speech detected"};
  EXPECT_EQ(pipelineLines(log, Level::error), warnings);
}

TEST_F(SortformerDiarizerEnrollmentTest, ShortOrSilentSamplesEnrollNobody) {
  ASSERT_TRUE(enroll(voice(1), "Bob"));
  struct Case {
    const char* name;
    std::vector<float> audio;
    std::string warning;
  };
  const Case cases[] = {
      {"half a second", testsupport::sortformerBandAudio(2, 8'000),
       "Failed to enroll speaker named 'Chair': not enough audio was provided. Please provide at "
       "least 1.04 seconds of speech."},
      {"two seconds of silence", std::vector<float>(32'000, 0.0f),
       "Failed to enroll speaker named 'Chair' because no speech detected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    EXPECT_EQ(enroll(c.audio, "Chair"), nullptr);
    EXPECT_EQ(pipelineLines(log, Level::error), std::vector<std::string>{c.warning});
    // The earlier speaker stays, and the diarizer is ready for a new stream.
    EXPECT_EQ(nameAt(1), "Bob");
    EXPECT_EQ(diarizer_->timeline()->speakers().size(), 1u);
    EXPECT_EQ(diarizer_->numFramesProcessed(), 0);
    EXPECT_EQ(diarizer_->timeline()->numFrames(), 0);
    EXPECT_TRUE(diarizer_->process(voice(0), std::nullopt));
    diarizer_->reset();
    ASSERT_TRUE(enroll(voice(1), "Bob"));
  }
}

TEST_F(SortformerDiarizerEnrollmentTest, NamedSlotIsRenamedOnlyWhenOverwritingIsAllowed) {
  const auto chair = enroll(voice(2), "Chair");
  ASSERT_TRUE(chair);
  const auto fifo = diarizer_->state().fifoLength;
  struct Case {
    const char* name;
    bool overwriting;
    std::string warning;
    std::optional<std::string> nameAfter;
  };
  const Case cases[] = {
      {"refused", false,
       "Failed to enroll speaker named 'Bob': diarizer matched existing speaker 'Chair' at index 2 "
       "and overwritingAssignedSpeakerName=false",
       "Chair"},
      {"overwritten", true, "Newly-enrolled speaker named 'Bob' will overwrite the old one named Chair at index 2",
       "Bob"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    const auto result = enroll(voice(2, 11), "Bob", c.overwriting);
    EXPECT_EQ(result != nullptr, c.overwriting);
    if (result) {
      EXPECT_EQ(result, chair);
    }
    EXPECT_EQ(pipelineLines(log, Level::error), std::vector<std::string>{c.warning});
    EXPECT_EQ(nameAt(2), c.nameAfter);
    EXPECT_EQ(diarizer_->timeline()->speakers().size(), 1u);
    EXPECT_FALSE(diarizer_->timeline()->hasSegments());
    // The streaming state went on with the second sample either way.
    EXPECT_GT(diarizer_->state().fifoLength, fifo);
  }
}

TEST_F(SortformerDiarizerEnrollmentTest, SeveralVoicesTakeSeveralSlots) {
  testsupport::SystemLogCapture log;
  ASSERT_TRUE(enroll(voice(0), "Ann"));
  // Unnamed, resampled from 48 kHz, and enrolled while the timeline holds segments.
  diarizer_->process(voice(0), std::nullopt);
  ASSERT_TRUE(diarizer_->timeline()->hasSegments());
  const auto voice48k = AudioConverter(48000.0, false).resample(voice(3), 16000.0);
  const auto unnamed = diarizer_->enrollSpeaker(voice48k, 48000.0, std::nullopt, false);
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->index(), 3);
  EXPECT_EQ(unnamed->name(), std::nullopt);
  EXPECT_EQ(nameAt(0), "Ann");
  EXPECT_EQ(diarizer_->timeline()->speakers().size(), 2u);

  const auto errors = pipelineLines(log, Level::error);
  EXPECT_EQ(errors, std::vector<std::string>{
                        "Trying to enroll a speaker while timeline has segments; timeline will be reset"});
  const auto infos = pipelineLines(log, Level::info);
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[1].rfind("Enrolled speaker (no name) with ", 0), 0u) << infos[1];
}

TEST_F(SortformerDiarizerEnrollmentTest, WholeRecordingKeepsEnrolledSpeakersAsAsked) {
  struct Case {
    const char* name;
    std::function<void(SortformerDiarizer&)> between;
    std::optional<bool> keeping;
    bool kept;
  };
  const auto moment = testsupport::sortformerBandAudio(0, 1'600);
  const Case cases[] = {
      {"right after enrollment", [](SortformerDiarizer&) {}, std::nullopt, true},
      {"after audio was added", [&](SortformerDiarizer& d) { d.addAudio(moment); }, std::nullopt, false},
      {"after a chunk ran", [&](SortformerDiarizer& d) { d.process(voice(0), std::nullopt); }, std::nullopt, false},
      {"after a whole recording", [&](SortformerDiarizer& d) {
         d.processComplete(voice(0), std::nullopt, true, true, {});
       }, std::nullopt, false},
      {"asked to keep after audio", [&](SortformerDiarizer& d) { d.addAudio(moment); }, true, true},
      {"asked not to keep", [](SortformerDiarizer&) {}, false, false},
  };
  const auto recording = speechInTurns({2, 0}, 32'000);
  // The state a fresh session ends with after the recording.
  diarizer_->processComplete(recording, std::nullopt, false, true, {});
  const auto fresh = diarizer_->state().fifoLength;

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    diarizer_->reset();
    ASSERT_TRUE(enroll(voice(2), "Chair"));
    c.between(*diarizer_);
    diarizer_->processComplete(recording, std::nullopt, c.keeping, true, {});
    EXPECT_EQ(nameAt(2), c.kept ? std::optional<std::string>("Chair") : std::nullopt);
    // A kept voice stays in the FIFO ahead of the recording's frames.
    EXPECT_EQ(diarizer_->state().fifoLength > fresh, c.kept);
  }
}

}  // namespace
}  // namespace tesselaudio::testing
