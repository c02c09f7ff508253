#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "speech/Diarizer/LS-EEND/LSEENDDiarizer.h"
#include "tests/speech/Diarizer/LS-EEND/LSEENDDiarizerFixture.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using namespace lseendtest;

constexpr const char* kMidSession = "Enrolling speaker mid session. The timeline will be reset if successful.";

class LSEENDDiarizerEnrollmentTest : public testing::Test, protected LSEENDDiarizerFixture {
 protected:
  // The start of a session: a speaker in slot 2, then audio short of a whole chunk left pending.
  static void streamOpening(LSEENDDiarizer& diarizer) {
    diarizer.process(joined({silence(2), tone(2, 0.6), silence(0.4)}), std::nullopt);
    diarizer.addAudio(silence(0.1), std::nullopt);
  }

  static std::map<std::int64_t, std::optional<std::string>> names(const DiarizerTimeline& timeline) {
    std::map<std::int64_t, std::optional<std::string>> byslot;
    for (const auto& [slot, speaker] : timeline.speakers()) byslot[slot] = speaker->name();
    return byslot;
  }

  static int warnings(const testsupport::SystemLogCapture& log) {
    int count = 0;
    for (const auto& record : log.records()) count += record.category == "LSEENDDiarizer" && record.message == kMidSession;
    return count;
  }
};

// Tone 0 for a second, then tone 1 for half a second: slot 0 scores higher than slot 1. Clips end
// in a pause, so that the last run closes within the clip.
std::vector<float> twoVoiceClip() { return joined({silence(2), tone(0, 1), tone(1, 0.5), silence(0.3)}); }

std::vector<float> voiceClip(int speaker) { return joined({silence(2), tone(speaker, 1), silence(0.3)}); }

TEST_F(LSEENDDiarizerEnrollmentTest, ChoosesTheSlotByScoreAndNames) {
  const struct {
    const char* name;
    std::map<std::int64_t, std::optional<std::string>> before;
    std::vector<float> clip;
    std::optional<std::string> named;
    bool overwriting;
    std::optional<std::int64_t> slot;  // none: enrollment fails
  } cases[] = {
      {"FreeSlotBeatsHigherScoringNamedSlot", {{0, "Ann"}}, twoVoiceClip(), "Bob", false, 1},
      {"UnnamedSpeakerCountsAsFree", {{0, std::nullopt}, {1, "Cid"}}, twoVoiceClip(), "Bob", false, 0},
      {"EveryScoredSlotNamed", {{0, "Ann"}, {1, "Cid"}}, twoVoiceClip(), "Bob", false, std::nullopt},
      {"EveryScoredSlotNamedOverwriting", {{0, "Ann"}, {1, "Cid"}}, twoVoiceClip(), "Bob", true, 0},
      {"NoNamePrefersAFreeSlot", {{0, std::nullopt}}, twoVoiceClip(), std::nullopt, false, 1},
      {"NoNameAllTakenClearsTheName", {{0, "Ann"}, {1, "Cid"}}, twoVoiceClip(), std::nullopt, false, 0},
      {"SilentClip", {}, silence(3), "Bob", false, std::nullopt},
  };
  const auto after = joined({tone(3, 0.8), silence(0.5)});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto diarizer = this->diarizer();
    const auto twin = this->diarizer();
    for (const auto& d : {diarizer, twin}) {
      streamOpening(*d);
      for (const auto& [slot, name] : c.before) d->timeline()->upsertSpeaker(name, slot);
    }
    const auto timeline = diarizer->timeline()->takeSnapshot();
    const auto speakersBefore = names(*diarizer->timeline());

    const auto speaker = diarizer->enrollSpeaker(c.clip, std::nullopt, c.named, c.overwriting);

    if (!c.slot) {
      EXPECT_EQ(speaker, nullptr);
      const auto now = diarizer->timeline()->takeSnapshot();
      EXPECT_EQ(now.numFinalizedFrames(), timeline.numFinalizedFrames());
      EXPECT_EQ(now.finalizedPredictions(), timeline.finalizedPredictions());
      EXPECT_EQ(names(*diarizer->timeline()), speakersBefore);
      // The pending audio, the recurrent state and the warm-up count are as they were: from here
      // on the diarizer and its twin that never enrolled give the same frames.
      for (const auto& d : {diarizer, twin}) {
        d->process(after, std::nullopt);
        d->finalizeSession();
      }
      EXPECT_EQ(diarizer->timeline()->finalizedPredictions(), twin->timeline()->finalizedPredictions());
      continue;
    }
    ASSERT_NE(speaker, nullptr);
    EXPECT_EQ(speaker->index(), *c.slot);
    EXPECT_EQ(speaker->name(), c.named);
    EXPECT_EQ(diarizer->timeline()->speakers().at(*c.slot), speaker);
  }
}

TEST_F(LSEENDDiarizerEnrollmentTest, SuccessMidSessionRestartsTheTimelineKeepingItsSpeakers) {
  testsupport::SystemLogCapture log;
  const auto diarizer = this->diarizer();
  streamOpening(*diarizer);
  ASSERT_TRUE(diarizer->timeline()->hasSegments());

  const auto speaker = diarizer->enrollSpeaker(voiceClip(1), std::nullopt, "Bob", false);
  ASSERT_NE(speaker, nullptr);
  EXPECT_EQ(speaker->index(), 1);
  EXPECT_EQ(warnings(log), 1);

  const auto timeline = diarizer->timeline();
  EXPECT_EQ((names(*timeline)), (std::map<std::int64_t, std::optional<std::string>>{{1, "Bob"}, {2, std::nullopt}}));
  EXPECT_FALSE(timeline->hasSegments());
  EXPECT_EQ(timeline->numFinalizedFrames(), 0);
  EXPECT_TRUE(timeline->finalizedPredictions().empty());
  EXPECT_TRUE(timeline->tentativePredictions().empty());

  // The next chunks drop the warm-up frames again.
  const auto more = silence(0.2);
  std::vector<std::int64_t> added;
  for (int i = 0; i < 5 && added.size() < 2; ++i) {
    const auto before = diarizer->numFramesProcessed();
    if (diarizer->process(more, std::nullopt)) added.push_back(diarizer->numFramesProcessed() - before);
  }
  EXPECT_EQ(added, (std::vector<std::int64_t>{8, 10}));
}

TEST_F(LSEENDDiarizerEnrollmentTest, OnAFreshTimelineNothingIsLogged) {
  testsupport::SystemLogCapture log;
  const auto diarizer = this->diarizer();
  ASSERT_NE(diarizer->enrollSpeaker(voiceClip(1), std::nullopt, "Bob", false), nullptr);
  EXPECT_EQ(warnings(log), 0);
}

// The stand-in fails once it has run 40 chunks since a reset; the enrolled clip's chunks count,
// so the recurrent state was not rolled back after success.
TEST_F(LSEENDDiarizerEnrollmentTest, SuccessKeepsTheRecurrentState) {
  auto oracle = kTones;
  oracle.failAtCounter = 40;
  const auto diarizer = this->diarizer(oracle);
  ASSERT_NE(diarizer->enrollSpeaker(voiceClip(1), std::nullopt, "Bob", false), nullptr);

  const auto piece = silence(0.2);
  int chunks = 0;
  try {
    for (; chunks < 40; ++chunks) diarizer->process(piece, std::nullopt);
  } catch (const platform::MLModelError&) {
  }
  EXPECT_LT(chunks, 39 - 10);
}

TEST_F(LSEENDDiarizerEnrollmentTest, AFailingFlushPropagatesWithoutRollback) {
  auto oracle = kTones;
  oracle.failAtCounter = 3;
  const auto diarizer = this->diarizer(oracle);
  EXPECT_THROW(diarizer->enrollSpeaker(voiceClip(1), std::nullopt, "Bob", false),
               platform::MLModelError);
  // The chunks that ran, and the failed one as silence, stay in the timeline.
  EXPECT_GT(diarizer->numFramesProcessed(), 0);
  EXPECT_TRUE(diarizer->timeline()->speakers().empty());
}

// Three tones in turn after two seconds of silence, the second enrolled by name beforehand.
TEST_F(LSEENDDiarizerEnrollmentTest, EnrolledVoiceIsNamedInAWholeRecording) {
  const auto file = folder_ / "meeting.wav";
  testsupport::writeEncoded(file, 16000, {joined({silence(2), tone(0, 1), tone(1, 1), tone(2, 1), silence(0.5)})},
                            "pcm_s16le");
  const auto diarizer = this->diarizer();
  const auto bob = diarizer->enrollSpeaker(voiceClip(1), std::nullopt, "Bob", false);
  ASSERT_NE(bob, nullptr);

  const auto timeline = diarizer->processComplete(file, std::nullopt, true, {});
  const auto speakers = timeline->speakers();
  for (int slot = 0; slot < 3; ++slot) {
    SCOPED_TRACE(slot);
    ASSERT_TRUE(speakers.contains(slot));
    const auto segments = speakers.at(slot)->finalizedSegments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_NEAR(segments[0].startTime(), 2.0 + slot, 0.1);
    EXPECT_NEAR(segments[0].endTime(), 3.0 + slot, 0.1);
  }
  EXPECT_EQ(speakers.at(1), bob);
  EXPECT_EQ(bob->name(), "Bob");
  EXPECT_FALSE(speakers.contains(3) && speakers.at(3)->hasSegments());
}

}  // namespace
}  // namespace tesselaudio
