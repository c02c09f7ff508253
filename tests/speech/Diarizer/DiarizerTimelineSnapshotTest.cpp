#include "speech/Diarizer/DiarizerTimeline.h"

#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/DiarizerTimelineError.h"
#include "tests/speech/Diarizer/SegmentSpans.h"

namespace tesselaudio {
namespace {

using testing::expectSpans;
using testing::Span;

// Four slots. The first chunk leaves slot 0 with a finalized segment [0, 2) and a run open from
// frame 3, and slot 1 with a finalized segment [1, 2).
DiarizerTimelineConfig fourSlots() { return DiarizerTimelineConfig::sortformerDefault(); }

const std::vector<float> kFirst = {
    0.9f, 0.1f, 0.1f, 0.1f,  //
    0.9f, 0.9f, 0.1f, 0.1f,  //
    0.1f, 0.1f, 0.1f, 0.1f,  //
    0.9f, 0.1f, 0.1f, 0.1f,
};
const std::vector<float> kFirstTail = {0.9f, 0.1f, 0.1f, 0.1f};
// Closes slot 0's run at frame 5 and gives slot 2 a segment [4, 6).
const std::vector<float> kSecond = {
    0.9f, 0.1f, 0.9f, 0.1f,  //
    0.1f, 0.1f, 0.9f, 0.1f,  //
    0.1f, 0.1f, 0.1f, 0.1f,  //
    0.1f, 0.1f, 0.1f, 0.1f,
};

TEST(DiarizerTimelineSnapshotTest, RollbackRestoresStateAndTheSpeakersItStillHas) {
  struct Case {
    const char* name;
    bool keepingSpeakers;
    std::vector<std::int64_t> slotsAfter;
    const char* slot0Name;
  };
  const Case cases[] = {
      {"not keeping speakers", false, {0}, "Aiko"},
      {"keeping speakers", true, {0, 2}, "Ben"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(fourSlots());
    timeline.addPredictions(kFirst, kFirstTail);
    const auto slot0 = timeline.speakers().at(0);
    slot0->rename("Aiko");
    const auto snapshot = timeline.takeSnapshot();
    EXPECT_EQ(snapshot.numFinalizedFrames(), 4);
    EXPECT_EQ(snapshot.finalizedPredictions(), kFirst);
    EXPECT_EQ(snapshot.tentativePredictions(), kFirstTail);
    ASSERT_EQ(snapshot.speakers().size(), 2u);
    EXPECT_EQ(snapshot.speakers().at(0).name, "Aiko");

    const auto originalUpdate = timeline.addPredictions(kSecond, {});
    slot0->rename("Ben");
    ASSERT_NE(timeline.removeSpeaker(1, false), nullptr);

    timeline.rollback(snapshot, c.keepingSpeakers);
    std::vector<std::int64_t> slots;
    for (const auto& [slot, speaker] : timeline.speakers()) slots.push_back(slot);
    EXPECT_EQ(slots, c.slotsAfter);
    EXPECT_EQ(timeline.speakers().at(0), slot0);
    EXPECT_EQ(slot0->name(), c.slot0Name);
    EXPECT_EQ(slot0->takeSnapshot().finalizedSegments, snapshot.speakers().at(0).finalizedSegments);
    EXPECT_EQ(slot0->takeSnapshot().tentativeSegments, snapshot.speakers().at(0).tentativeSegments);
    EXPECT_EQ(timeline.numFinalizedFrames(), 4);
    EXPECT_EQ(timeline.finalizedPredictions(), kFirst);
    EXPECT_EQ(timeline.tentativePredictions(), kFirstTail);

    // The builders came back too: the same chunk gives the same segments again.
    const auto again = timeline.addPredictions(kSecond, {});
    EXPECT_EQ(again.finalizedSegments, originalUpdate.finalizedSegments);
    EXPECT_EQ(again.tentativeSegments, originalUpdate.tentativeSegments);
    expectSpans(again.finalizedSegments, {{3, 5, 0.9f, 0}, {4, 6, 0.9f, 2}}, "finalized");
    EXPECT_TRUE(again.tentativeSegments.empty());
  }
}

TEST(DiarizerTimelineSnapshotTest, RestoredTimelineContinuesLikeTheOriginal) {
  struct Case {
    const char* name;
    bool storeSegments;
    std::size_t speakers;
  };
  const Case cases[] = {{"storing segments", true, 2}, {"not storing segments", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline original(fourSlots());
    original.addPredictions(kFirst, kFirstTail);
    original.speakers().at(1)->rename("Ben");
    auto config = fourSlots();
    config.storeSegments = c.storeSegments;
    const DiarizerTimeline::ConfiguredSnapshot saved{config, original.takeSnapshot()};

    DiarizerTimeline restored(saved);
    EXPECT_EQ(restored.config(), config);
    EXPECT_EQ(restored.numFinalizedFrames(), 4);
    EXPECT_EQ(restored.finalizedPredictions(), kFirst);
    EXPECT_EQ(restored.tentativePredictions(), kFirstTail);
    const auto speakers = restored.speakers();
    ASSERT_EQ(speakers.size(), c.speakers);
    for (const auto& [slot, speaker] : speakers) {
      const auto was = original.speakers().at(slot);
      EXPECT_NE(speaker, was);
      EXPECT_NE(speaker->id(), was->id());
      EXPECT_EQ(speaker->takeSnapshot(), was->takeSnapshot());
    }

    const auto expected = original.addPredictions(kSecond, {});
    const auto update = restored.addPredictions(kSecond, {});
    EXPECT_EQ(update.finalizedSegments, expected.finalizedSegments);
    EXPECT_EQ(update.tentativeSegments, expected.tentativeSegments);
  }
}

TEST(DiarizerTimelineSnapshotTest, SnapshotOfAnotherSlotCountIsRefused) {
  DiarizerTimeline twoSlots(DiarizerTimelineConfig{.numSpeakers = 2});
  twoSlots.addPredictions({0.9f, 0.1f}, {});
  const auto foreign = twoSlots.takeSnapshot();

  DiarizerTimeline timeline(fourSlots());
  timeline.addPredictions(kFirst, kFirstTail);
  const auto before = timeline.takeSnapshot();
  for (bool keepingSpeakers : {false, true}) {
    try {
      timeline.rollback(foreign, keepingSpeakers);
      ADD_FAILURE() << "no error";
    } catch (const DiarizerTimelineError& e) {
      EXPECT_EQ(e.errorCode(), DiarizerTimelineError::Code::mismatchedSnapshotSlots);
      EXPECT_EQ(e.description(),
                "The snapshot's slot count (2) doesn't match the speaker count (4).");
    }
  }
  EXPECT_EQ(timeline.numFinalizedFrames(), before.numFinalizedFrames());
  EXPECT_EQ(timeline.finalizedPredictions(), before.finalizedPredictions());
  EXPECT_EQ(timeline.speakers().size(), 2u);

  EXPECT_THROW(DiarizerTimeline(foreign, fourSlots()), DiarizerTimelineError);
  EXPECT_THROW(DiarizerTimeline(DiarizerTimeline::ConfiguredSnapshot{fourSlots(), foreign}),
               DiarizerTimelineError);
}

TEST(DiarizerTimelineSnapshotTest, RebuildRederivesTheWholeTimeline) {
  // Slot 0 of the rebuilt arrays: a segment [1, 3) closed by a new run from frame 4, which the
  // tail ends at frame 6.
  const std::vector<float> finalized = {0.1f, 0.9f, 0.9f, 0.1f, 0.9f};
  const std::vector<float> tentative = {0.9f, 0.2f};
  struct Case {
    const char* name;
    DiarizerTimelineConfig config;
    bool keepingSpeakers;
    bool isComplete;
    std::vector<float> storedFinalized;
    std::vector<float> storedTentative;
    std::int64_t cursor;
    std::vector<Span> heldFinalized;
    std::vector<Span> heldTentative;
    const char* name0;  // nullptr: the slot-0 speaker is a new, unnamed one
  };
  const Case cases[] = {
      {"incomplete: the tail stays tentative", DiarizerTimelineConfig{}, false, false, finalized,
       tentative, 5, {{1, 3}}, {{4, 6}}, nullptr},
      {"complete: everything is final", DiarizerTimelineConfig{}, false, true,
       {0.1f, 0.9f, 0.9f, 0.1f, 0.9f, 0.9f, 0.2f}, {}, 7, {{1, 3}, {4, 6}}, {}, nullptr},
      {"keeping speakers keeps the object and its name", DiarizerTimelineConfig{}, true, false,
       finalized, tentative, 5, {{1, 3}}, {{4, 6}}, "Aiko"},
      {"cap applies to the incomplete result", DiarizerTimelineConfig{.maxStoredFrames = 2}, false,
       false, {0.1f, 0.9f}, tentative, 5, {{1, 3}}, {{4, 6}}, nullptr},
      {"cap applies after completion", DiarizerTimelineConfig{.maxStoredFrames = 2}, true, true,
       {0.9f, 0.2f}, {}, 7, {{1, 3}, {4, 6}}, {}, "Aiko"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(c.config);
    timeline.addPredictions({0.9f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f, 0.9f, 0.1f}, {0.9f});
    const auto old = timeline.speakers().at(0);
    old->rename("Aiko");

    const auto update = timeline.rebuild(finalized, tentative, c.keepingSpeakers, c.isComplete);
    expectSpans(update.finalizedSegments, {{1, 3, 0.9f}}, "update finalized");
    expectSpans(update.tentativeSegments, {{4, 6, 0.9f}}, "update tentative");
    EXPECT_FALSE(update.tentativeSegments.at(0).isFinalized);
    EXPECT_EQ(update.chunkResult.startFrame, 0);
    EXPECT_EQ(update.chunkResult.finalizedFrameCount, 5);
    EXPECT_EQ(update.chunkResult.tentativeFrameCount, 2);
    EXPECT_EQ(update.chunkResult.finalizedPredictions, finalized);
    EXPECT_EQ(update.chunkResult.tentativePredictions, tentative);

    EXPECT_EQ(timeline.finalizedPredictions(), c.storedFinalized);
    EXPECT_EQ(timeline.tentativePredictions(), c.storedTentative);
    EXPECT_EQ(timeline.numFinalizedFrames(), c.cursor);
    ASSERT_EQ(timeline.speakers().size(), 1u);
    const auto speaker = timeline.speakers().at(0);
    expectSpans(speaker->finalizedSegments(), c.heldFinalized, "held finalized");
    expectSpans(speaker->tentativeSegments(), c.heldTentative, "held tentative");
    EXPECT_EQ(speaker == old, c.keepingSpeakers);
    EXPECT_EQ(speaker->name(), c.name0 ? std::optional<std::string>(c.name0) : std::nullopt);
  }
}

TEST(DiarizerTimelineSnapshotTest, ArrayInitialisersRebuildFromFrameZero) {
  const DiarizerTimeline split({0.1f, 0.9f, 0.9f, 0.1f}, {0.9f}, DiarizerTimelineConfig{}, false);
  EXPECT_EQ(split.numFinalizedFrames(), 4);
  EXPECT_EQ(split.numTentativeFrames(), 1);
  expectSpans(split.speakers().at(0)->finalizedSegments(), {{1, 3}}, "split finalized");
  expectSpans(split.speakers().at(0)->tentativeSegments(), {{4, 5}}, "split tentative");

  const DiarizerTimeline whole({0.1f, 0.9f, 0.9f, 0.1f, 0.9f}, DiarizerTimelineConfig{}, true);
  EXPECT_EQ(whole.numFinalizedFrames(), 5);
  EXPECT_EQ(whole.numTentativeFrames(), 0);
  expectSpans(whole.speakers().at(0)->finalizedSegments(), {{1, 3}, {4, 5}}, "whole finalized");

  try {
    DiarizerTimeline(std::vector<float>(10, 0.5f), std::vector<float>(8, 0.5f), fourSlots(), true);
    ADD_FAILURE() << "no error";
  } catch (const DiarizerTimelineError& e) {
    EXPECT_EQ(e.errorCode(), DiarizerTimelineError::Code::misalignedFinalizedPredictions);
  }
  EXPECT_THROW(DiarizerTimeline(std::vector<float>(6, 0.5f), fourSlots(), false),
               DiarizerTimelineError);
}

TEST(DiarizerTimelineSnapshotTest, MisalignedRebuildChangesNothing) {
  DiarizerTimeline timeline(fourSlots());
  timeline.addPredictions(kFirst, kFirstTail);
  const auto before = timeline.takeSnapshot();
  const auto speakersBefore = timeline.speakers();
  try {
    timeline.rebuild(std::vector<float>(10, 0.9f), std::vector<float>(8, 0.9f), false, true);
    ADD_FAILURE() << "no error";
  } catch (const DiarizerTimelineError& e) {
    EXPECT_EQ(e.description(),
              "The number of finalized predictions (10) isn't a multiple of the speaker count (4).");
  }
  EXPECT_EQ(timeline.numFinalizedFrames(), before.numFinalizedFrames());
  EXPECT_EQ(timeline.finalizedPredictions(), before.finalizedPredictions());
  EXPECT_EQ(timeline.tentativePredictions(), before.tentativePredictions());
  EXPECT_EQ(timeline.speakers(), speakersBefore);
  for (const auto& [slot, speaker] : speakersBefore) {
    EXPECT_EQ(speaker->takeSnapshot(), before.speakers().at(slot));
  }
  // The lock was released.
  EXPECT_NO_THROW(timeline.rebuild(kFirst, {}, true, true));
}

}  // namespace
}  // namespace tesselaudio
