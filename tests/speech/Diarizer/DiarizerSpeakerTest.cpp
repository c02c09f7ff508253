#include "speech/Diarizer/DiarizerSpeaker.h"

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tests/speech/Diarizer/SegmentSpans.h"

namespace tesselaudio {
namespace {

using testing::expectSpans;

DiarizerSegment finalized(std::int64_t start, std::int64_t end) {
  return DiarizerSegment(0, start, end, true, 0.08f);
}

DiarizerSegment tentative(std::int64_t start, std::int64_t end) {
  return DiarizerSegment(0, start, end, false, 0.08f);
}

// A speaker in slot 0 holding finalized [0, 10), [20, 25) and tentative [30, 34).
class DiarizerSpeakerTest : public ::testing::Test {
 protected:
  DiarizerSpeakerTest() : speaker_(platform::Uuid::random(), 0) {
    speaker_.append(finalized(0, 10));
    speaker_.append(finalized(20, 25));
    speaker_.append(tentative(30, 34));
  }

  DiarizerSpeaker speaker_;
};

TEST_F(DiarizerSpeakerTest, SumsCountsFramesAndSeconds) {
  EXPECT_TRUE(speaker_.hasSegments());
  EXPECT_EQ(speaker_.segmentCount(), 3);
  EXPECT_EQ(speaker_.finalizedSegmentCount(), 2);
  EXPECT_EQ(speaker_.tentativeSegmentCount(), 1);
  EXPECT_EQ(speaker_.numSpeechFrames(), 19);
  EXPECT_EQ(speaker_.numFinalizedSpeechFrames(), 15);
  EXPECT_EQ(speaker_.numTentativeSpeechFrames(), 4);
  EXPECT_FLOAT_EQ(speaker_.speechDuration(), 19 * 0.08f);
  EXPECT_FLOAT_EQ(speaker_.finalizedSpeechDuration(), 15 * 0.08f);
  EXPECT_FLOAT_EQ(speaker_.tentativeSpeechDuration(), 4 * 0.08f);
  EXPECT_EQ(speaker_.lastSegment(), tentative(30, 34));

  speaker_.reset();
  EXPECT_FALSE(speaker_.hasSegments());
  EXPECT_EQ(speaker_.lastSegment(), std::nullopt);
  EXPECT_EQ(speaker_.speechDuration(), 0.0f);
}

TEST(DiarizerSpeakerNamingTest, DescriptionIsTheNameElseTheSlot) {
  DiarizerSpeaker speaker(platform::Uuid::random(), 3);
  EXPECT_EQ(speaker.description(), "Speaker 3");
  speaker.rename("山田");
  EXPECT_EQ(speaker.description(), "山田");
  EXPECT_EQ(speaker.name(), "山田");
  speaker.rename(std::nullopt);
  speaker.reassign(1);
  EXPECT_EQ(speaker.description(), "Speaker 1");
  speaker.setName("Aiko");
  speaker.setIndex(2);
  EXPECT_EQ(speaker.description(), "Aiko");
  EXPECT_EQ(speaker.index(), 2);
}

TEST_F(DiarizerSpeakerTest, ReassignLeavesTheSegmentsSlotAlone) {
  speaker_.reassign(2);
  EXPECT_EQ(speaker_.index(), 2);
  for (const auto& s : speaker_.finalizedSegments()) EXPECT_EQ(s.speakerIndex, 0);
}

TEST_F(DiarizerSpeakerTest, FinalizeMovesTentativeSegmentsUnchanged) {
  speaker_.append(tentative(40, 41));
  speaker_.finalize();
  const auto list = speaker_.finalizedSegments();
  expectSpans(list, {{0, 10}, {20, 25}, {30, 34}, {40, 41}}, "finalized");
  EXPECT_FALSE(list[2].isFinalized);
  EXPECT_FALSE(list[3].isFinalized);
  EXPECT_TRUE(speaker_.tentativeSegments().empty());
}

TEST_F(DiarizerSpeakerTest, AppendRoutesByFinalityAndSettersReplaceLists) {
  speaker_.appendTentative(finalized(50, 51));
  speaker_.appendFinalized(tentative(60, 61));
  expectSpans(speaker_.finalizedSegments(), {{0, 10}, {20, 25}, {60, 61}}, "finalized");
  expectSpans(speaker_.tentativeSegments(), {{30, 34}, {50, 51}}, "tentative");

  speaker_.setFinalizedSegments({finalized(1, 2)});
  speaker_.setTentativeSegments({});
  expectSpans(speaker_.finalizedSegments(), {{1, 2}}, "finalized");
  EXPECT_EQ(speaker_.tentativeSegmentCount(), 0);
  speaker_.append(tentative(3, 4));
  speaker_.clearTentative(false);
  EXPECT_EQ(speaker_.tentativeSegmentCount(), 0);
}

TEST_F(DiarizerSpeakerTest, PopLastTakesFromTheChosenList) {
  EXPECT_EQ(speaker_.popLast(true), finalized(20, 25));
  EXPECT_EQ(speaker_.popLastTentative(), tentative(30, 34));
  EXPECT_EQ(speaker_.popLastTentative(), std::nullopt);
  EXPECT_EQ(speaker_.popLast(false), std::nullopt);
  EXPECT_EQ(speaker_.popLast(), finalized(0, 10));
  EXPECT_EQ(speaker_.popLastFinalized(), std::nullopt);
  EXPECT_EQ(speaker_.popLast(), std::nullopt);
}

TEST_F(DiarizerSpeakerTest, PopLastPrefersTheTentativeList) {
  EXPECT_EQ(speaker_.popLast(), tentative(30, 34));
  EXPECT_EQ(speaker_.popLast(), finalized(20, 25));
}

TEST(DiarizerSpeakerPopIfTest, ExaminesOnlyTheOneCandidate) {
  struct Case {
    const char* name;
    std::vector<DiarizerSegment> finalizedList;
    std::vector<DiarizerSegment> tentativeList;
    std::int64_t minimumStart;  // the predicate accepts segments starting here or later
    std::optional<DiarizerSegment> popped;
    std::int64_t calls;
    std::int64_t finalizedLeft;
    std::int64_t tentativeLeft;
  };
  const Case cases[] = {
      {"tentative candidate accepted", {finalized(0, 5)}, {tentative(10, 12)}, 10,
       tentative(10, 12), 1, 1, 0},
      {"rejected tentative does not lead to the finalized list", {finalized(20, 25)},
       {tentative(10, 12)}, 15, std::nullopt, 1, 1, 1},
      {"finalized candidate when nothing is tentative", {finalized(0, 5), finalized(20, 25)}, {},
       20, finalized(20, 25), 1, 1, 0},
      {"finalized candidate rejected", {finalized(0, 5)}, {}, 1, std::nullopt, 1, 1, 0},
      {"no candidate: predicate not called", {}, {}, 0, std::nullopt, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerSpeaker speaker(platform::Uuid::random(), 0);
    speaker.setFinalizedSegments(c.finalizedList);
    speaker.setTentativeSegments(c.tentativeList);
    std::int64_t calls = 0;
    const auto popped = speaker.popLast([&](const DiarizerSegment& s) {
      ++calls;
      return s.startFrame >= c.minimumStart;
    });
    EXPECT_EQ(popped, c.popped);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(speaker.finalizedSegmentCount(), c.finalizedLeft);
    EXPECT_EQ(speaker.tentativeSegmentCount(), c.tentativeLeft);
  }
}

TEST_F(DiarizerSpeakerTest, ThrowingPredicateRemovesNothingAndReleasesTheLock) {
  EXPECT_THROW(speaker_.popLast([](const DiarizerSegment&) -> bool {
    throw std::runtime_error("predicate failed");
  }),
               std::runtime_error);
  EXPECT_EQ(speaker_.segmentCount(), 3);
  EXPECT_EQ(speaker_.popLast([](const DiarizerSegment&) { return true; }), tentative(30, 34));
}

TEST_F(DiarizerSpeakerTest, PredicateMayReadTheSpeakersNameAndSlot) {
  speaker_.rename("Aiko");
  const auto popped = speaker_.popLast(
      [&](const DiarizerSegment&) { return speaker_.name() == "Aiko" && speaker_.index() == 0; });
  EXPECT_EQ(popped, tentative(30, 34));
}

TEST_F(DiarizerSpeakerTest, SnapshotsRestoreListsSlotAndOptionallyTheName) {
  speaker_.rename("Aiko");
  const auto snapshot = speaker_.takeSnapshot();
  EXPECT_EQ(snapshot.name, "Aiko");
  EXPECT_EQ(snapshot.index, 0);

  for (bool keepingName : {false, true}) {
    SCOPED_TRACE(keepingName ? "keeping the name" : "restoring the name");
    speaker_.rename("Ben");
    speaker_.reassign(3);
    speaker_.reset();
    speaker_.rollback(snapshot, keepingName);
    EXPECT_EQ(speaker_.name(), keepingName ? "Ben" : "Aiko");
    EXPECT_EQ(speaker_.index(), 0);
    expectSpans(speaker_.finalizedSegments(), {{0, 10}, {20, 25}}, "finalized");
    expectSpans(speaker_.tentativeSegments(), {{30, 34}}, "tentative");
  }

  const DiarizerSpeaker copy(snapshot);
  EXPECT_NE(copy.id(), speaker_.id());
  EXPECT_EQ(copy.takeSnapshot(), snapshot);
}

}  // namespace
}  // namespace tesselaudio
