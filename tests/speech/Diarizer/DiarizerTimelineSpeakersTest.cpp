#include "speech/Diarizer/DiarizerTimeline.h"

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/speech/Diarizer/SegmentSpans.h"

namespace tesselaudio {
namespace {

using testing::expectSpans;
using testing::Span;

std::vector<std::int64_t> occupiedSlots(const DiarizerTimeline& timeline) {
  std::vector<std::int64_t> slots;
  for (const auto& [slot, speaker] : timeline.speakers()) slots.push_back(slot);
  return slots;
}

TEST(DiarizerTimelineSpeakersTest, UpsertByNameChoosesOrRenamesASlot) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> taken;
    std::optional<std::string> named;
    std::optional<std::int64_t> atIndex;
    std::optional<std::int64_t> slot;  // none: nothing placed
    bool existing;                     // the slot's speaker was already there
  };
  const Case cases[] = {
      {"lowest free slot", {0, 2}, "Aiko", std::nullopt, 1, false},
      {"no free slot", {0, 1, 2, 3}, "Aiko", std::nullopt, std::nullopt, false},
      {"slot at the speaker count", {}, "Aiko", 4, std::nullopt, false},
      {"negative slot", {}, "Aiko", -1, std::nullopt, false},
      {"free slot by index", {0}, "Aiko", 3, 3, false},
      {"taken slot is renamed", {0, 2}, "Aiko", 2, 2, true},
      {"an absent name clears the name", {0, 2}, std::nullopt, 2, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(DiarizerTimelineConfig::sortformerDefault());
    for (auto slot : c.taken) timeline.upsertSpeaker("Earlier", slot);
    const auto before = timeline.speakers();

    const auto speaker = timeline.upsertSpeaker(c.named, c.atIndex);
    if (!c.slot) {
      EXPECT_EQ(speaker, nullptr);
      EXPECT_EQ(timeline.speakers(), before);
      for (const auto& [slot, s] : before) EXPECT_EQ(s->name(), "Earlier");
      continue;
    }
    ASSERT_NE(speaker, nullptr);
    EXPECT_EQ(timeline.speakers().at(*c.slot), speaker);
    EXPECT_EQ(speaker->index(), *c.slot);
    EXPECT_EQ(speaker->name(), c.named);
    EXPECT_EQ(before.contains(*c.slot), c.existing);
    if (c.existing) {
      EXPECT_EQ(before.at(*c.slot), speaker);
    }
  }
}

// Two slots. After the first chunk slot 0 holds a finalized [0, 1) and is inside a run that began
// at frame 2 (tentatively [2, 4)); slot 1 is silent. The next chunk ends the run at frame 4.
struct MidRun {
  MidRun() : timeline(DiarizerTimelineConfig{.numSpeakers = 2}) {
    timeline.addPredictions({0.9f, 0.1f, 0.1f, 0.1f, 0.9f, 0.1f}, {0.9f, 0.1f});
    old = timeline.speakers().at(0);
  }

  DiarizerTimelineUpdate nextChunk() {
    return timeline.addPredictions({0.9f, 0.1f, 0.1f, 0.1f}, {});
  }

  DiarizerTimeline timeline;
  std::shared_ptr<DiarizerSpeaker> old;
};

TEST(DiarizerTimelinePlacementTest, FixtureIsMidRun) {
  MidRun world;
  expectSpans(world.old->finalizedSegments(), {{0, 1}}, "finalized");
  expectSpans(world.old->tentativeSegments(), {{2, 4}}, "tentative");
  EXPECT_EQ(occupiedSlots(world.timeline), std::vector<std::int64_t>{0});
}

TEST(DiarizerTimelinePlacementTest, UpsertSpeakerMovesOrDropsTheCurrentSegment) {
  struct Case {
    const char* name;
    std::function<void(DiarizerSpeaker&)> prepareOld;
    bool transferCurrentSegment;
    std::vector<Span> movedTentative;  // what the new speaker holds at once
    std::vector<Span> oldTentative;
    std::vector<Span> nextFinalized;   // what the new speaker holds after the next chunk
  };
  const Case cases[] = {
      {"transfer mid-run moves the run's segment and continues the run", nullptr, true,
       {{2, 4}}, {}, {{2, 4}}},
      {"without transfer the run is dropped and the next onset starts anew", nullptr, false,
       {}, {{2, 4}}, {{3, 4}}},
      {"a last segment older than the run stays with the old speaker",
       [](DiarizerSpeaker& old) { old.setTentativeSegments({}); }, true, {}, {}, {{2, 4}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MidRun world;
    if (c.prepareOld) c.prepareOld(*world.old);
    auto speaker = std::make_shared<DiarizerSpeaker>(platform::Uuid::random(), 7, "Aiko");

    EXPECT_EQ(world.timeline.upsertSpeaker(speaker, 0, c.transferCurrentSegment), speaker);
    EXPECT_EQ(world.timeline.speakers().at(0), speaker);
    EXPECT_EQ(speaker->index(), 0);
    EXPECT_EQ(speaker->name(), "Aiko");
    expectSpans(speaker->tentativeSegments(), c.movedTentative, "moved");
    expectSpans(world.old->finalizedSegments(), {{0, 1}}, "old finalized");
    expectSpans(world.old->tentativeSegments(), c.oldTentative, "old tentative");

    world.nextChunk();
    expectSpans(speaker->finalizedSegments(), c.nextFinalized, "new speaker after next chunk");
    EXPECT_TRUE(speaker->tentativeSegments().empty());
    expectSpans(world.old->finalizedSegments(), {{0, 1}}, "old finalized after next chunk");
  }
}

TEST(DiarizerTimelinePlacementTest, UpsertSpeakerOnASilentSlotMovesNothing) {
  MidRun world;
  auto speaker = std::make_shared<DiarizerSpeaker>(platform::Uuid::random(), 0);
  EXPECT_EQ(world.timeline.upsertSpeaker(speaker, std::nullopt, true), speaker);
  EXPECT_EQ(speaker->index(), 1);
  EXPECT_FALSE(speaker->hasSegments());
  expectSpans(world.old->tentativeSegments(), {{2, 4}}, "old tentative");
  world.nextChunk();
  expectSpans(world.old->finalizedSegments(), {{0, 1}, {2, 4}}, "old finalized");
  EXPECT_FALSE(speaker->hasSegments());
}

TEST(DiarizerTimelinePlacementTest, UpsertSpeakerRefusesSlotsOutOfRangeOrNoneFree) {
  MidRun world;
  auto speaker = std::make_shared<DiarizerSpeaker>(platform::Uuid::random(), 5);
  for (std::int64_t slot : {-1, 2}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(world.timeline.upsertSpeaker(speaker, slot, false), nullptr);
  }
  world.timeline.upsertSpeaker("Ben", 1);
  EXPECT_EQ(world.timeline.upsertSpeaker(speaker, std::nullopt, false), nullptr);
  EXPECT_EQ(speaker->index(), 5);
  // Slot 0's run was not dropped by the refused calls.
  world.nextChunk();
  expectSpans(world.old->finalizedSegments(), {{0, 1}, {2, 4}}, "old finalized");
}

TEST(DiarizerTimelinePlacementTest, RemoveSpeakerOptionallyDropsTheSlotsRun) {
  struct Removal {
    std::int64_t slot;
    bool clearCurrentSegment;
  };
  struct Case {
    const char* name;
    std::vector<Removal> removals;
    bool lastReturnsOld;
    std::vector<Span> slot0After;  // finalized segments at slot 0 after the next chunk
    bool oldStillThere;
  };
  const Case cases[] = {
      {"removed, run kept: a new speaker gets the run", {{0, false}}, true, {{2, 4}}, false},
      {"removed, run dropped: the next onset starts anew", {{0, true}}, true, {{3, 4}}, false},
      {"empty slot still has its run dropped", {{0, false}, {0, true}}, false, {{3, 4}}, false},
      {"slot below range changes nothing", {{-1, true}}, false, {{0, 1}, {2, 4}}, true},
      {"slot at the speaker count changes nothing", {{2, true}}, false, {{0, 1}, {2, 4}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MidRun world;
    std::shared_ptr<DiarizerSpeaker> removed;
    for (const auto& r : c.removals) {
      removed = world.timeline.removeSpeaker(r.slot, r.clearCurrentSegment);
    }
    EXPECT_EQ(removed, c.lastReturnsOld ? world.old : nullptr);
    world.nextChunk();
    const auto slot0 = world.timeline.speakers().at(0);
    EXPECT_EQ(slot0 == world.old, c.oldStillThere);
    expectSpans(slot0->finalizedSegments(), c.slot0After, "slot 0");
  }
}

}  // namespace
}  // namespace tesselaudio
