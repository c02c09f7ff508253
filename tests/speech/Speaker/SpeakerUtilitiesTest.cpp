#include "speech/Speaker/SpeakerUtilities.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/SystemLog.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

namespace SU = SpeakerUtilities;
using Embedding = std::vector<float>;
using Level = platform::SystemLog::Level;
using platform::Uuid;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A logged line as standard error shows it: level label and message ("WARN" or "ERROR"; the
// system log itself records both as errors).
struct Line {
  std::string label;
  std::string message;
  bool operator==(const Line&) const = default;
};

// Captures the system log and standard error for a stretch of a test.
class LogLines {
 public:
  // The lines written meanwhile, each found in the system log and on standard error.
  std::vector<Line> lines() const {
    const std::string console = console_.text();
    std::vector<Line> result;
    for (const auto& record : log_.records()) {
      EXPECT_EQ(record.category, "SpeakerUtilities");
      EXPECT_EQ(record.level, Level::error);
      const std::string tail = "] [TesselAudio.SpeakerUtilities] " + record.message + "\n";
      const std::string label = console.find("[WARN" + tail) != std::string::npos    ? "WARN"
                                : console.find("[ERROR" + tail) != std::string::npos ? "ERROR"
                                                                                     : "?";
      result.push_back({label, record.message});
    }
    return result;
  }

 private:
  testsupport::SystemLogCapture log_;
  testsupport::OutputCapture console_{2};
};

std::vector<RawEmbedding> history(int count, double first, double step = 1) {
  std::vector<RawEmbedding> entries;
  for (int i = 0; i < count; ++i) {
    entries.emplace_back(Uuid::random(), Embedding{1, 0.01f * static_cast<float>(i)}, first + step * i);
  }
  return entries;
}

std::vector<double> timestamps(const std::vector<RawEmbedding>& entries) {
  std::vector<double> stamps;
  for (const auto& entry : entries) stamps.push_back(entry.timestamp);
  return stamps;
}

TEST(SpeakerUtilitiesTest, CosineDistance) {
  struct Case {
    const char* name;
    Embedding a, b;
    float distance;
    std::vector<Line> log;
  };
  const Case cases[] = {
      {"same direction", {1, 0}, {1, 0}, 0, {}},
      {"opposite", {1, 0}, {-1, 0}, 2, {}},
      {"orthogonal", {1, 0}, {0, 1}, 1, {}},
      {"general path", {2, 0}, {0, 3}, 1, {}},
      {"general path at an angle", {3, 4}, {4, 3}, 1 - 24.0f / 25, {}},
      {"unequal lengths", {1, 0}, {1}, kInf, {{"ERROR", "Invalid embeddings: a.count=2, b.count=1"}}},
      {"empty", {}, {}, kInf, {{"ERROR", "Invalid embeddings: a.count=0, b.count=0"}}},
      {"zero magnitude", {0, 0}, {1, 0}, kInf, {{"WARN", "Zero magnitude embedding detected"}}},
      {"NaN magnitude", {kNaN, 0}, {1, 0}, kInf, {{"WARN", "Zero magnitude embedding detected"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogLines log;
    EXPECT_FLOAT_EQ(SU::cosineDistance(c.a, c.b), c.distance);
    EXPECT_EQ(log.lines(), c.log);
  }
}

TEST(SpeakerUtilitiesTest, QualityCheck) {
  struct Case {
    const char* name;
    Embedding embedding;
    bool valid;
    std::vector<Line> log;
  };
  const Case cases[] = {
      {"weak", {0.05f, 0.05f}, false, {{"WARN", "Low magnitude embedding: 0.07071068"}}},
      {"at the minimum", {0.1f, 0}, false, {{"WARN", "Low magnitude embedding: 0.1"}}},
      {"NaN", {1, kNaN}, false, {{"WARN", "Low magnitude embedding: nan"}}},
      {"infinite", {1, kInf}, false, {{"ERROR", "Embedding contains NaN or Inf"}}},
      {"empty", {}, false, {{"ERROR", "Empty embedding"}}},
      {"strong enough", {0.2f, 0}, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogLines log;
    EXPECT_EQ(SU::validateEmbedding(c.embedding, 0.1f), c.valid);
    EXPECT_EQ(log.lines(), c.log);
  }
}

TEST(SpeakerUtilitiesTest, AssignmentDecisions) {
  struct Case {
    float distance, duration;
    bool assign, update;
    const char* reason;
  };
  const Case cases[] = {
      {0.1f, 0.5f, true, false, "Very high confidence match"},
      {0.1f, 5, true, true, "Very high confidence match"},
      {0.4f, 5, true, true, "Sufficient confidence and duration"},
      {0.5f, 5, true, false, "Sufficient confidence and duration"},
      {0.5f, 2, true, false, "Sufficient confidence and duration"},
      {0.5f, 0.5f, false, false, "Duration too short"},
      {0.65f, 5, false, false, "Distance too far"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.distance) + " at " + std::to_string(c.duration) + " s");
    const SU::AssignmentDecision d = SU::shouldAssignSpeaker(c.distance, c.duration, SU::AssignmentConfig::current());
    EXPECT_EQ(d.shouldAssign, c.assign);
    EXPECT_EQ(d.shouldUpdate, c.update);
    EXPECT_FLOAT_EQ(d.confidence, 1 - c.distance);
    EXPECT_EQ(d.reason, c.reason);
  }
}

TEST(SpeakerUtilitiesTest, Presets) {
  const SU::AssignmentConfig macOS = SU::AssignmentConfig::macOS();
  EXPECT_FLOAT_EQ(macOS.maxDistanceForAssignment, 0.65f);
  EXPECT_FLOAT_EQ(macOS.maxDistanceForUpdate, 0.45f);
  EXPECT_FLOAT_EQ(macOS.minSpeakerDuration, 4.0f);
  EXPECT_FLOAT_EQ(macOS.minSegmentDuration, 1.0f);
  EXPECT_EQ(SU::AssignmentConfig::current(), macOS);
  SU::AssignmentConfig iOS = macOS;
  iOS.maxDistanceForAssignment = 0.55f;
  EXPECT_EQ(SU::AssignmentConfig::iOS(), iOS);
}

TEST(SpeakerUtilitiesTest, ClosestCandidate) {
  const std::vector<Speaker> candidates = {Speaker("a", std::nullopt, Embedding{0, 1}),
                                           Speaker("b", std::nullopt, Embedding{1, 1}),
                                           Speaker("c", std::nullopt, Embedding{1, 1})};
  const SU::ClosestSpeaker closest = SU::findClosestSpeaker(Embedding{1, 0}, candidates);
  ASSERT_TRUE(closest.speaker.has_value());
  EXPECT_EQ(closest.speaker->id, "b");
  EXPECT_NEAR(closest.distance, 1 - std::sqrt(0.5f), 1e-6);

  LogLines log;
  const SU::ClosestSpeaker none = SU::findClosestSpeaker(Embedding{1, 0, 0}, candidates);
  EXPECT_FALSE(none.speaker.has_value());
  EXPECT_EQ(none.distance, kInf);
  EXPECT_FALSE(SU::findClosestSpeaker(Embedding{1, 0}, {}).speaker.has_value());
}

TEST(SpeakerUtilitiesTest, CreationChecksDurationAndQuality) {
  const auto config = SU::AssignmentConfig::current();
  {
    LogLines log;
    const auto result = SU::validateSpeakerCreation("3", std::nullopt, 3.9f, Embedding{3, 4}, config);
    ASSERT_FALSE(result.isSuccess());
    EXPECT_EQ(result.reason(), "Duration 3.9 < minimum 4.0");
    EXPECT_FALSE(SU::createSpeaker("3", std::nullopt, 3.9f, Embedding{3, 4}, config).has_value());
    EXPECT_EQ(log.lines(), (std::vector<Line>{{"ERROR", "Failed to create speaker: Duration 3.9 < minimum 4.0"}}));
  }
  EXPECT_FALSE(SU::validateSpeakerCreation("3", std::nullopt, kNaN, Embedding{3, 4}, config).isSuccess());
  const auto weak = SU::validateSpeakerCreation("3", std::nullopt, 5, Embedding{0.05f, 0.05f}, config);
  ASSERT_FALSE(weak.isSuccess());
  EXPECT_EQ(weak.reason(), "Invalid embedding: failed quality checks");

  const auto result = SU::validateSpeakerCreation("3", std::nullopt, 4.0f, Embedding{3, 4}, config);
  ASSERT_TRUE(result.isSuccess());
  EXPECT_EQ(result.params().name, "Speaker 3");
  EXPECT_EQ(result.params().embedding, (Embedding{0.6f, 0.8f}));
  EXPECT_EQ(result.params().createdAt, result.params().updatedAt);

  const auto speaker = SU::createSpeaker("3", "Host", 4.0f, Embedding{3, 4}, config);
  ASSERT_TRUE(speaker.has_value());
  EXPECT_EQ(speaker->id, "3");
  EXPECT_EQ(speaker->name, "Host");
  EXPECT_FLOAT_EQ(speaker->duration, 4.0f);
  EXPECT_EQ(speaker->updateCount, 1);
  EXPECT_TRUE(speaker->rawEmbeddings.empty());
  EXPECT_FALSE(speaker->isPermanent);
}

TEST(SpeakerUtilitiesTest, ExponentialUpdate) {
  const auto updated = SU::updateEmbedding(Embedding{2, 0}, Embedding{0, 5}, 0.9f);
  ASSERT_TRUE(updated.has_value());
  EXPECT_NEAR((*updated)[0], 0.9f / std::hypot(0.9f, 0.1f), 1e-6);
  EXPECT_NEAR((*updated)[1], 0.1f / std::hypot(0.9f, 0.1f), 1e-6);

  for (const auto& [current, fresh] : {std::pair{Embedding{}, Embedding{1, 0}},
                                       std::pair{Embedding{1, 0}, Embedding{1, 0, 0}},
                                       std::pair{Embedding{1, 0}, Embedding{0.05f, 0}}}) {
    LogLines log;
    EXPECT_FALSE(SU::updateEmbedding(current, fresh, 0.9f).has_value());
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back(), (Line{"ERROR", "Invalid embeddings for update"}));
  }
}

TEST(SpeakerUtilitiesTest, HistoryAppendReportsWhenToRecalculate) {
  struct Case {
    int entries;
    std::size_t size;
    bool recalculate;
  };
  const Case cases[] = {{0, 1, false}, {1, 2, false}, {2, 3, true}, {3, 3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries);
    const Uuid segment = Uuid::random();
    const auto result = SU::addRawEmbedding(history(c.entries, 10), segment, Embedding{3, 4}, 50, 3);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->updated.size(), c.size);
    EXPECT_EQ(result->shouldRecalculate, c.recalculate);
    EXPECT_EQ(result->updated.back().segmentId, segment);
    EXPECT_EQ(result->updated.back().embedding, (Embedding{0.6f, 0.8f}));
    EXPECT_EQ(result->updated.back().timestamp, 50);
    if (c.entries == 3) {
      EXPECT_EQ(result->updated.front().timestamp, 11);
    }
  }
  LogLines log;
  const Uuid segment = Uuid::random();
  EXPECT_FALSE(SU::addRawEmbedding(history(2, 0), segment, Embedding{0, 0}, 5, 3).has_value());
  EXPECT_EQ(log.lines().back(), (Line{"WARN", "Invalid embedding for segment " + segment.toString()}));
}

TEST(SpeakerUtilitiesTest, HistoryRemoval) {
  const auto entries = history(2, 0);
  const auto removal = SU::removeRawEmbedding(entries, entries[0].segmentId);
  EXPECT_EQ(removal.removed, entries[0]);
  EXPECT_EQ(removal.updated.size(), 1u);
  EXPECT_TRUE(removal.shouldRecalculate);

  const auto last = SU::removeRawEmbedding(removal.updated, entries[1].segmentId);
  EXPECT_TRUE(last.updated.empty());
  EXPECT_FALSE(last.shouldRecalculate);

  const auto none = SU::removeRawEmbedding(entries, Uuid::random());
  EXPECT_FALSE(none.removed.has_value());
  EXPECT_EQ(none.updated, entries);
  EXPECT_FALSE(none.shouldRecalculate);
}

TEST(SpeakerUtilitiesTest, SegmentUpdate) {
  const Embedding main{1, 0};
  EXPECT_FALSE(SU::updateSpeakerWithSegment(main, history(3, 0), 2, Embedding{0, 1}, 0.5f,
                                            Uuid::random(), 0.9f, 1.0f).has_value());
  EXPECT_FALSE(SU::updateSpeakerWithSegment(main, history(3, 0), 2, Embedding{0, 0}, 2,
                                            Uuid::random(), 0.9f, 1.0f).has_value());

  const Uuid segment = Uuid::random();
  const auto result = SU::updateSpeakerWithSegment(main, history(50, 0), 2, Embedding{0, 3}, 1.5f,
                                                   segment, 0.9f, 1.0f);
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->updatedRawEmbeddings.size(), 50u);
  EXPECT_EQ(result->updatedRawEmbeddings.front().timestamp, 1);
  EXPECT_EQ(result->updatedRawEmbeddings.back().segmentId, segment);
  EXPECT_EQ(result->updatedRawEmbeddings.back().embedding, (Embedding{0, 1}));
  EXPECT_FLOAT_EQ(result->updatedDuration, 3.5f);
  EXPECT_TRUE(result->shouldRecalculate);
  ASSERT_TRUE(result->updatedMainEmbedding.has_value());
  EXPECT_NEAR((*result->updatedMainEmbedding)[0], 0.9f / std::hypot(0.9f, 0.1f), 1e-6);

  // An empty main embedding refuses the blend but keeps the history.
  const auto noMain = SU::updateSpeakerWithSegment({}, {}, 0, Embedding{0, 1}, 2, segment, 0.9f, 1.0f);
  ASSERT_TRUE(noMain.has_value());
  EXPECT_FALSE(noMain->updatedMainEmbedding.has_value());
  EXPECT_EQ(noMain->updatedRawEmbeddings.size(), 1u);
  EXPECT_FALSE(noMain->shouldRecalculate);
}

TEST(SpeakerUtilitiesTest, SegmentUpdateAfterATrimmingMergeDropsTheOldest) {
  const auto merged = SU::mergeSpeakers(history(30, 0, 2), 1, history(30, 1, 2), 1, 50);
  const auto first = SU::updateSpeakerWithSegment(Embedding{1, 0}, merged.mergedRaw, 2, Embedding{0, 1},
                                                  2, Uuid::random(), 0.9f, 1.0f);
  ASSERT_TRUE(first.has_value());
  const auto appended = SU::addRawEmbedding(first->updatedRawEmbeddings, Uuid::random(),
                                            Embedding{1, 1}, 1e12, 50);
  ASSERT_TRUE(appended.has_value());
  const auto stamps = timestamps(appended->updated);
  ASSERT_EQ(stamps.size(), 50u);
  EXPECT_EQ(stamps.front(), 59);
  EXPECT_EQ(std::count(stamps.begin(), stamps.end(), 10.0), 0);
  EXPECT_EQ(std::count(stamps.begin(), stamps.end(), 11.0), 0);
  EXPECT_EQ(stamps.back(), 1e12);
}

TEST(SpeakerUtilitiesTest, MergeKeepsTheNewestAndAverages) {
  const auto merged = SU::mergeSpeakers(history(30, 0, 2), 3, history(30, 1, 2), 4.5f, 50);
  std::vector<double> expected;
  for (int t = 59; t >= 10; --t) expected.push_back(t);
  EXPECT_EQ(timestamps(merged.mergedRaw), expected);
  EXPECT_FLOAT_EQ(merged.mergedDuration, 7.5f);
  EXPECT_EQ(merged.newMainEmbedding, SU::averageEmbeddings(merged.mergedRaw));

  const auto small = SU::mergeSpeakers(history(2, 5), 1, history(1, 0), 1, 50);
  EXPECT_EQ(timestamps(small.mergedRaw), (std::vector<double>{5, 6, 0}));
  EXPECT_FALSE(SU::mergeSpeakers({}, 1, {}, 2, 50).newMainEmbedding.has_value());
}

TEST(SpeakerUtilitiesTest, Average) {
  const auto average = SU::averageEmbeddings(std::vector<Embedding>{{1, 0}, {0, 1}, {1, 1, 1}});
  ASSERT_TRUE(average.has_value());
  EXPECT_NEAR((*average)[0], 0.7071068f, 1e-6);
  EXPECT_NEAR((*average)[1], 0.7071068f, 1e-6);
  EXPECT_FALSE(SU::averageEmbeddings(std::vector<Embedding>{}).has_value());
  EXPECT_FALSE(SU::averageEmbeddings(std::vector<Embedding>{{}, {1, 0}}).has_value());
}

}  // namespace
}  // namespace tesselaudio
