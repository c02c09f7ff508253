#include "speech/Diarizer/DiarizerTimeline.h"

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/DiarizerTimelineError.h"
#include "tests/speech/Diarizer/SegmentSpans.h"

namespace tesselaudio {
namespace {

using testing::expectSpans;
using testing::Span;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// All segments the timeline's speakers hold, slot by slot.
std::vector<DiarizerSegment> heldSegments(const DiarizerTimeline& timeline, bool finalized) {
  std::vector<DiarizerSegment> all;
  for (const auto& [slot, speaker] : timeline.speakers()) {
    auto list = finalized ? speaker->finalizedSegments() : speaker->tentativeSegments();
    all.insert(all.end(), list.begin(), list.end());
  }
  return all;
}

// One chunk and what should come of it: the update's segments and what the speakers hold after.
struct Step {
  std::vector<float> finalized;
  std::vector<float> tentative;
  std::vector<Span> updateFinalized;
  std::vector<Span> updateTentative;
  std::vector<Span> heldFinalized;
  std::vector<Span> heldTentative;
};

struct Case {
  const char* name;
  DiarizerTimelineConfig config;
  std::vector<Step> steps;
};

void runSteps(const Case& c) {
  SCOPED_TRACE(c.name);
  DiarizerTimeline timeline(c.config);
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "chunk " << i);
    const Step& step = c.steps[i];
    const auto update = timeline.addPredictions(step.finalized, step.tentative);
    const auto width = c.config.numSpeakers;
    EXPECT_EQ(update.chunkResult.startFrame, frames);
    frames += static_cast<std::int64_t>(step.finalized.size()) / width;
    EXPECT_EQ(timeline.numFinalizedFrames(), frames);
    EXPECT_EQ(timeline.numTentativeFrames(),
              static_cast<std::int64_t>(step.tentative.size()) / width);

    expectSpans(update.finalizedSegments, step.updateFinalized, "update finalized");
    expectSpans(update.tentativeSegments, step.updateTentative, "update tentative");
    expectSpans(heldSegments(timeline, true), step.heldFinalized, "held finalized");
    expectSpans(heldSegments(timeline, false), step.heldTentative, "held tentative");
    for (const auto& s : update.finalizedSegments) EXPECT_TRUE(s.isFinalized);
    for (const auto& s : update.tentativeSegments) EXPECT_FALSE(s.isFinalized);
  }
}

DiarizerTimelineConfig oneSlot() { return DiarizerTimelineConfig{}; }

DiarizerTimelineConfig hysteresis(float onset, float offset) {
  return DiarizerTimelineConfig{.onsetThreshold = onset, .offsetThreshold = offset};
}

TEST(DiarizerTimelineTest, IntakeTurnsProbabilitiesIntoSegments) {
  const Case cases[] = {
      {"one run becomes a finalized segment",
       oneSlot(),
       {{{0.2f, 0.6f, 0.7f, 0.4f, 0.1f}, {}, {{1, 3, 0.65f}}, {}, {{1, 3}}, {}}}},
      {"thresholds 0.5 and 0.3: equal to onset never starts, equal to offset goes on",
       hysteresis(0.5f, 0.3f),
       {{{0.5f, 0.6f, 0.3f, 0.29f, 0.5f}, {}, {{1, 3, 0.45f}}, {}, {{1, 3}}, {}}}},
      {"tentative tail is rebuilt, then replaced by the next chunk",
       oneSlot(),
       {{{0.2f, 0.6f, 0.7f, 0.8f}, {0.9f, 0.3f}, {}, {{1, 5, 0.75f}}, {}, {{1, 5}}},
        {{0.9f, 0.3f, 0.1f}, {}, {{1, 5, 0.75f}}, {}, {{1, 5}}, {}}}},
      {"a run open at the end of the chunk trails to its end",
       oneSlot(),
       {{{0.1f, 0.9f}, {0.8f}, {}, {{1, 3, 0.85f}}, {}, {{1, 3}}}}},
      {"the trailing end reaches past the chunk by the offset pad",
       DiarizerTimelineConfig{.offsetPadFrames = 1},
       {{{0.1f, 0.9f}, {0.9f}, {}, {{1, 4, 0.9f}}, {}, {{1, 4}}}}},
      {"a run across chunks closes in the later one",
       oneSlot(),
       {{{0.1f, 0.9f}, {}, {}, {{1, 2}}, {}, {{1, 2}}},
        {{0.9f, 0.1f}, {}, {{1, 3, 0.9f}}, {}, {{1, 3}}, {}}}},
      {"NaN ends a run and never starts one",
       oneSlot(),
       {{{kNaN, 0.9f, kNaN, 0.9f, 0.9f, 0.1f},
         {},
         {{1, 2, 0.9f}, {3, 5, 0.9f}},
         {},
         {{1, 2}, {3, 5}},
         {}}}},
      {"logits average the clamped log-odds",
       DiarizerTimelineConfig{
           .onsetThreshold = 0.4f, .offsetThreshold = 0.4f, .activityType = DiarizerActivityType::logits},
       {{{0.9f, 0.5f, 0.1f}, {}, {{0, 2, 1.0986f}}, {}, {{0, 2}}, {}}}},
      {"slots read their own column and come out in slot order",
       DiarizerTimelineConfig{.numSpeakers = 2},
       {{{0.9f, 0.1f, 0.9f, 0.9f, 0.1f, 0.9f, 0.1f, 0.1f},
         {},
         {{0, 2, 0.9f, 0}, {1, 3, 0.9f, 1}},
         {},
         {{0, 2, 0.9f, 0}, {1, 3, 0.9f, 1}},
         {}}}},
      {"silence produces nothing",
       DiarizerTimelineConfig{.numSpeakers = 2},
       {{{0.1f, 0.2f, 0.5f, 0.5f}, {0.3f, 0.4f}, {}, {}, {}, {}}}},
  };
  for (const auto& c : cases) runSteps(c);
}

TEST(DiarizerTimelineTest, PaddingMinimumsAndTheHorizon) {
  const Case cases[] = {
      {"minFramesOn 2 drops a one-frame run",
       DiarizerTimelineConfig{.minFramesOn = 2},
       {{{0.1f, 0.9f, 0.1f, 0.9f, 0.9f, 0.1f, 0.1f}, {}, {{3, 5, 0.9f}}, {}, {{3, 5}}, {}}}},
      {"minFramesOff 1 bridges a one-frame gap",
       DiarizerTimelineConfig{.minFramesOff = 1},
       {{{0.1f, 0.1f, 0.9f, 0.9f, 0.1f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f},
         {},
         {{2, 7, 0.9f}},
         {},
         {{2, 7}},
         {}}}},
      {"minFramesOff 1 keeps a two-frame gap",
       DiarizerTimelineConfig{.minFramesOff = 1},
       {{{0.1f, 0.1f, 0.9f, 0.9f, 0.1f, 0.1f, 0.9f, 0.9f, 0.1f, 0.1f},
         {},
         {{2, 4}, {6, 8}},
         {},
         {{2, 4}, {6, 8}},
         {}}}},
      {"onset padding reaches before frame 0",
       DiarizerTimelineConfig{.onsetPadFrames = 2, .offsetPadFrames = 1},
       {{{0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, {}, {{-2, 2, 0.9f}}, {}, {{-2, 2}}, {}}}},
      {"a short run is dropped whatever its padded length",
       DiarizerTimelineConfig{.onsetPadFrames = 2, .offsetPadFrames = 2, .minFramesOn = 3},
       {{std::vector<float>{0.1f, 0.1f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f,
                            0.1f},
         {},
         {},
         {},
         {},
         {}}}},
      {"a run of minFramesOn frames is kept with its padding",
       DiarizerTimelineConfig{.onsetPadFrames = 2, .offsetPadFrames = 2, .minFramesOn = 3},
       {{std::vector<float>{0.1f, 0.1f, 0.9f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f,
                            0.1f},
         {},
         {{0, 7}},
         {},
         {{0, 7}},
         {}}}},
      {"a segment before the horizon waits as tentative until the horizon passes it",
       DiarizerTimelineConfig{.minFramesOff = 3},
       {{{0.1f, 0.9f, 0.9f, 0.1f, 0.1f}, {}, {}, {{1, 3, 0.9f}}, {}, {{1, 3}}},
        {{0.1f, 0.1f}, {}, {{1, 3, 0.9f}}, {}, {{1, 3}}, {}}}},
      {"a waiting segment is extended by a run in the next chunk",
       DiarizerTimelineConfig{.minFramesOff = 3},
       {{{0.1f, 0.9f, 0.9f, 0.1f, 0.1f}, {}, {}, {{1, 3}}, {}, {{1, 3}}},
        {{0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, {}, {{1, 6, 0.9f}}, {}, {{1, 6}}, {}}}},
      {"a dropped short run leaves the waiting segment waiting",
       DiarizerTimelineConfig{.minFramesOn = 2, .minFramesOff = 2},
       {{{0.9f, 0.9f, 0.1f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f},
         {},
         {{0, 2, 0.9f}},
         {},
         {{0, 2}},
         {}}}},
      {"a short run after the segment's end trails nothing past it",
       DiarizerTimelineConfig{.minFramesOn = 2, .minFramesOff = 2},
       {{{0.9f, 0.9f, 0.1f, 0.9f}, {}, {}, {{0, 2, 0.9f}}, {}, {{0, 2}}}}},
  };
  for (const auto& c : cases) runSteps(c);
}

TEST(DiarizerTimelineTest, FinalizePromotesTheTentativeTail) {
  struct FinalizeCase {
    const char* name;
    DiarizerTimelineConfig config;
    std::vector<float> finalized;
    std::vector<float> tentative;
    std::vector<float> storedAfter;
    std::vector<Span> heldAfter;
  };
  const FinalizeCase cases[] = {
      {"tail with a run", oneSlot(), {0.1f, 0.9f}, {0.9f, 0.2f}, {0.1f, 0.9f, 0.9f, 0.2f},
       {{1, 3, 0.9f}}},
      {"tail without speech", oneSlot(), {0.1f}, {0.2f, 0.3f}, {0.1f, 0.2f, 0.3f}, {}},
      {"cap applies after the promotion", DiarizerTimelineConfig{.maxStoredFrames = 2},
       {0.1f, 0.2f, 0.3f}, {0.9f, 0.5f}, {0.9f, 0.5f}, {{3, 5}}},
      {"nothing is stored with a cap of 0", DiarizerTimelineConfig{.maxStoredFrames = 0},
       {0.1f, 0.6f}, {0.7f}, {}, {{1, 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(c.config);
    timeline.addPredictions(c.finalized, c.tentative);
    const auto tentativeHeld = heldSegments(timeline, false);
    timeline.finalize();
    EXPECT_EQ(timeline.numTentativeFrames(), 0);
    EXPECT_EQ(timeline.numFinalizedFrames(),
              static_cast<std::int64_t>(c.finalized.size() + c.tentative.size()));
    EXPECT_EQ(timeline.finalizedPredictions(), c.storedAfter);
    EXPECT_TRUE(timeline.tentativePredictions().empty());
    const auto held = heldSegments(timeline, true);
    expectSpans(held, c.heldAfter, "held finalized");
    EXPECT_EQ(held.size(), tentativeHeld.size());
    for (const auto& s : held) EXPECT_FALSE(s.isFinalized);
    EXPECT_TRUE(heldSegments(timeline, false).empty());
  }
}

TEST(DiarizerTimelineTest, ProbabilityQueriesAnswerOnlyForStoredFrames) {
  // Four slots, a cap of two frames; value = frame + slot / 10. Frames 0 to 2 finalized (frame 0
  // trimmed), frames 3 and 4 tentative.
  DiarizerTimeline timeline(DiarizerTimelineConfig{.numSpeakers = 4, .maxStoredFrames = 2});
  auto rows = [](std::int64_t from, std::int64_t to) {
    std::vector<float> values;
    for (std::int64_t f = from; f < to; ++f) {
      for (int s = 0; s < 4; ++s) values.push_back(static_cast<float>(f) + s / 10.0f);
    }
    return values;
  };
  timeline.addPredictions(rows(0, 3), rows(3, 5));
  EXPECT_EQ(timeline.finalizedPredictions().size(), 8u);

  struct Query {
    const char* name;
    bool tentative;
    std::int64_t speaker;
    std::int64_t frame;
    float value;  // NaN: not available
  };
  const Query queries[] = {
      {"trimmed frame", false, 0, 0, kNaN},
      {"oldest kept frame", false, 2, 1, 1.2f},
      {"newest finalized frame", false, 3, 2, 2.3f},
      {"tentative frame asked as finalized", false, 0, 3, kNaN},
      {"slot at the speaker count", false, 4, 2, kNaN},
      {"negative slot", false, -1, 2, kNaN},
      {"far past", false, 0, std::numeric_limits<std::int64_t>::min(), kNaN},
      {"first tentative frame", true, 1, 3, 3.1f},
      {"last tentative frame", true, 3, 4, 4.3f},
      {"future frame", true, 0, 5, kNaN},
      {"finalized frame asked as tentative", true, 0, 2, kNaN},
      {"tentative slot at the speaker count", true, 4, 3, kNaN},
      {"far future", true, 0, std::numeric_limits<std::int64_t>::max(), kNaN},
  };
  for (const auto& q : queries) {
    SCOPED_TRACE(q.name);
    const float value =
        q.tentative ? timeline.tentativeProbability(q.speaker, q.frame)
                    : timeline.probability(q.speaker, q.frame);
    if (std::isnan(q.value)) {
      EXPECT_TRUE(std::isnan(value)) << value;
    } else {
      EXPECT_FLOAT_EQ(value, q.value);
    }
  }
}

TEST(DiarizerTimelineTest, CapOfZeroStoresNoProbabilitiesButStillSegments) {
  // A negative cap is out of bounds for callers; it must not cut more than is stored.
  for (std::int64_t cap : {0, -3}) {
    SCOPED_TRACE(cap);
    DiarizerTimeline timeline(DiarizerTimelineConfig{.maxStoredFrames = cap});
    const auto update = timeline.addPredictions({0.2f, 0.6f, 0.7f, 0.4f, 0.1f}, {0.9f});
    expectSpans(update.finalizedSegments, {{1, 3}}, "update finalized");
    EXPECT_TRUE(timeline.finalizedPredictions().empty());
    for (std::int64_t frame = 0; frame < 5; ++frame) {
      EXPECT_TRUE(std::isnan(timeline.probability(0, frame))) << frame;
    }
    EXPECT_EQ(timeline.numFinalizedFrames(), 5);
    timeline.finalize();
    EXPECT_TRUE(timeline.finalizedPredictions().empty());
    EXPECT_EQ(timeline.numFinalizedFrames(), 6);
  }
}

TEST(DiarizerTimelineTest, WithoutStoringSegmentsOnlyUpdatesCarryThem) {
  DiarizerTimeline timeline(DiarizerTimelineConfig{.storeSegments = false});
  const auto update = timeline.addPredictions({0.2f, 0.6f, 0.7f, 0.4f, 0.1f}, {0.9f});
  expectSpans(update.finalizedSegments, {{1, 3}}, "update finalized");
  expectSpans(update.tentativeSegments, {{5, 6}}, "update tentative");
  EXPECT_TRUE(timeline.speakers().empty());
  EXPECT_FALSE(timeline.hasSegments());
}

TEST(DiarizerTimelineTest, CountsAndDurations) {
  DiarizerTimeline timeline(DiarizerTimelineConfig{.numSpeakers = 2, .frameDurationSeconds = 0.5f});
  EXPECT_EQ(timeline.speakerCapacity(), 2);
  EXPECT_FALSE(timeline.hasSegments());
  timeline.addPredictions({0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, {0.1f, 0.1f});
  EXPECT_TRUE(timeline.hasSegments());
  EXPECT_EQ(timeline.numFinalizedFrames(), 3);
  EXPECT_EQ(timeline.numTentativeFrames(), 1);
  EXPECT_EQ(timeline.numFrames(), 4);
  EXPECT_EQ(timeline.finalizedDuration(), 1.5f);
  EXPECT_EQ(timeline.tentativeDuration(), 0.5f);
  EXPECT_EQ(timeline.duration(), 2.0f);
}

TEST(DiarizerTimelineTest, FramesFollowTheTimelinesCursorNotTheChunksStart) {
  DiarizerTimeline timeline(oneSlot());
  timeline.addPredictions({0.1f, 0.1f}, {});
  const auto update = timeline.addChunk(DiarizerChunkResult(100, {0.9f, 0.1f}, 2, {}, 0));
  expectSpans(update.finalizedSegments, {{2, 3}}, "update finalized");
  EXPECT_EQ(update.chunkResult.startFrame, 100);
}

TEST(DiarizerTimelineTest, MisalignedArraysThrowAndChangeNothing) {
  struct ErrorCase {
    const char* name;
    std::vector<float> finalized;
    std::vector<float> tentative;
    DiarizerTimelineError::Code code;
    const char* description;
  };
  const ErrorCase cases[] = {
      {"finalized", std::vector<float>(10, 0.9f), std::vector<float>(10, 0.9f),
       DiarizerTimelineError::Code::misalignedFinalizedPredictions,
       "The number of finalized predictions (10) isn't a multiple of the speaker count (4)."},
      {"tentative", std::vector<float>(8, 0.9f), std::vector<float>(10, 0.9f),
       DiarizerTimelineError::Code::misalignedTentativePredictions,
       "The number of tentative predictions (10) isn't a multiple of the speaker count (4)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(DiarizerTimelineConfig::sortformerDefault());
    const std::vector<float> speech = {0.9f, 0.1f, 0.1f, 0.1f};
    timeline.addPredictions(speech, speech);
    const auto before = timeline.takeSnapshot();

    for (bool asChunk : {false, true}) {
      try {
        if (asChunk) {
          timeline.addChunk(DiarizerChunkResult(1, c.finalized, 2, c.tentative, 2));
        } else {
          timeline.addPredictions(c.finalized, c.tentative);
        }
        ADD_FAILURE() << "no error";
      } catch (const DiarizerTimelineError& e) {
        EXPECT_EQ(e.errorCode(), c.code);
        EXPECT_EQ(e.description(), c.description);
      }
      EXPECT_EQ(timeline.numFinalizedFrames(), before.numFinalizedFrames());
      EXPECT_EQ(timeline.finalizedPredictions(), before.finalizedPredictions());
      EXPECT_EQ(timeline.tentativePredictions(), before.tentativePredictions());
      ASSERT_EQ(timeline.speakers().size(), 1u);
      EXPECT_EQ(timeline.speakers().at(0)->takeSnapshot(), before.speakers().at(0));
    }
    // The lock was released: the next chunk goes through.
    timeline.addPredictions(speech, {});
    EXPECT_EQ(timeline.numFinalizedFrames(), 2);
  }
}

TEST(DiarizerTimelineTest, WithoutSlotsOnlyEmptyArraysPass) {
  DiarizerTimeline timeline(DiarizerTimelineConfig{.numSpeakers = 0});
  const auto update = timeline.addPredictions({}, {});
  EXPECT_TRUE(update.finalizedSegments.empty());
  EXPECT_EQ(timeline.numFrames(), 0);
  EXPECT_THROW(timeline.addPredictions({0.5f}, {}), DiarizerTimelineError);
  EXPECT_THROW(timeline.addPredictions({}, {0.5f}), DiarizerTimelineError);
  EXPECT_TRUE(std::isnan(timeline.probability(0, 0)));
  EXPECT_EQ(timeline.upsertSpeaker("Aiko", std::nullopt), nullptr);
}

TEST(DiarizerTimelineTest, ResetsEmptyTheTimelineAndKeepTheChosenSpeakers) {
  // Both slots are inside a run at the finalized boundary.
  auto fill = [](DiarizerTimeline& timeline) {
    timeline.addPredictions({0.9f, 0.9f, 0.9f, 0.9f}, {0.9f, 0.9f});
    timeline.speakers().at(1)->rename("Ben");
  };
  struct ResetCase {
    const char* name;
    std::function<void(DiarizerTimeline&)> reset;
    std::vector<std::int64_t> keptSlots;
  };
  const ResetCase cases[] = {
      {"keeping speakers", [](DiarizerTimeline& t) { t.reset(true); }, {0, 1}},
      {"dropping speakers", [](DiarizerTimeline& t) { t.reset(false); }, {}},
      {"keeping named speakers",
       [](DiarizerTimeline& t) { t.reset([](const DiarizerSpeaker& s) { return s.name().has_value(); }); },
       {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerTimeline timeline(DiarizerTimelineConfig{.numSpeakers = 2});
    fill(timeline);
    const auto before = timeline.speakers();
    c.reset(timeline);
    EXPECT_EQ(timeline.numFrames(), 0);
    EXPECT_TRUE(timeline.finalizedPredictions().empty());
    EXPECT_TRUE(timeline.tentativePredictions().empty());
    EXPECT_FALSE(timeline.hasSegments());
    std::vector<std::int64_t> slots;
    for (const auto& [slot, speaker] : timeline.speakers()) {
      slots.push_back(slot);
      EXPECT_EQ(speaker, before.at(slot));
    }
    EXPECT_EQ(slots, c.keptSlots);
    // The builders start over: the runs open before the reset do not close in the next chunk.
    const auto update = timeline.addPredictions({0.1f, 0.1f, 0.1f, 0.1f}, {});
    EXPECT_TRUE(update.finalizedSegments.empty());
    EXPECT_TRUE(update.tentativeSegments.empty());
    EXPECT_FALSE(timeline.hasSegments());
  }
}

TEST(DiarizerTimelineTest, ThrowingResetPredicateChangesNothing) {
  DiarizerTimeline timeline(oneSlot());
  timeline.addPredictions({0.9f, 0.1f}, {});
  EXPECT_THROW(timeline.reset([](const DiarizerSpeaker&) -> bool { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_EQ(timeline.numFinalizedFrames(), 2);
  EXPECT_TRUE(timeline.hasSegments());
}

TEST(DiarizerTimelineTest, ReadersOnAnotherThreadSeeWholeStates) {
  auto timeline = std::make_shared<DiarizerTimeline>(DiarizerTimelineConfig::sortformerDefault());
  constexpr int kChunks = 2000;
  std::atomic<bool> done = false;

  std::thread writer([&] {
    std::vector<float> finalized(6 * 4, 0.05f);
    std::vector<float> tentative(7 * 4, 0.05f);
    for (int chunk = 0; chunk < kChunks; ++chunk) {
      const int slot = (chunk / 3) % 2;  // speech moves between two slots every three chunks
      for (int f = 0; f < 6; ++f) {
        finalized[f * 4 + slot] = 0.9f;
        finalized[f * 4 + 1 - slot] = 0.05f;
      }
      for (int f = 0; f < 7; ++f) {
        tentative[f * 4 + slot] = f < 4 ? 0.9f : 0.1f;
        tentative[f * 4 + 1 - slot] = 0.05f;
      }
      timeline->addPredictions(finalized, tentative);
    }
    done = true;
  });

  std::int64_t lastFrames = 0;
  while (!done) {
    const std::int64_t frames = timeline->numFinalizedFrames();
    EXPECT_GE(frames, lastFrames);
    lastFrames = frames;
    for (const auto& [slot, speaker] : timeline->speakers()) {
      const auto finalized = speaker->finalizedSegments();
      for (std::size_t i = 1; i < finalized.size(); ++i) {
        EXPECT_LE(finalized[i - 1].endFrame, finalized[i].startFrame);
      }
      speaker->tentativeSegments();
      speaker->description();
    }
    timeline->hasSegments();
  }
  writer.join();
  EXPECT_EQ(timeline->numFinalizedFrames(), kChunks * 6);
  EXPECT_EQ(timeline->speakers().size(), 2u);
}

}  // namespace
}  // namespace tesselaudio
