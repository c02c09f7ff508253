#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/Uuid.h"
#include "speech/Diarizer/Clustering/SpeakerManager.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Speaker/SpeakerClock.h"
#include "tests/speech/Diarizer/Clustering/SpeakerManagerFixture.h"

namespace tesselaudio {
namespace {

using Level = platform::SystemLog::Level;
using Pairs = std::vector<SpeakerManager::MergePair>;
using Strings = std::vector<std::string>;

// Maintenance of the speaker database: warnings arrive in the system log as errors.
class SpeakerMaintenanceTest : public SpeakerManagerFixture {
 protected:
  SpeakerMaintenanceTest() { AppLogger::setMirrorsToConsole(false); }
  ~SpeakerMaintenanceTest() override { AppLogger::setMirrorsToConsole(true); }

  // A unit vector along one axis.
  static Embedding unit(std::size_t axis) {
    Embedding e(SpeakerManager::embeddingSize, 0.0f);
    e[axis] = 1.0f;
    return e;
  }

  // A speaker with `entries` history entries, `duration` seconds and `updates` updates.
  static Speaker withHistory(const std::string& id, std::size_t entries, float duration, std::int64_t updates,
                             const Embedding& embedding = axis()) {
    Speaker speaker = known(id, embedding);
    for (std::size_t i = 0; i < entries; ++i) {
      speaker.rawEmbeddings.emplace_back(platform::Uuid::random(), embedding, 100.0 + static_cast<double>(i));
    }
    speaker.duration = duration;
    speaker.updateCount = updates;
    return speaker;
  }

  Strings ids() const { return manager_.speakerIds(); }

  // From here on, messages count: storing speakers logs lines of its own.
  void settle() { settled_ = log_.records().size(); }
  Strings since(Level level) const {
    Strings result;
    const auto records = log_.records();
    for (std::size_t i = settled_; i < records.size(); ++i) {
      if (records[i].category == "SpeakerManager" && records[i].level == level) result.push_back(records[i].message);
    }
    return result;
  }
  Strings warnings() const { return since(Level::error); }
  Strings infos() const { return since(Level::info); }

  std::size_t settled_ = 0;
};

TEST_F(SpeakerMaintenanceTest, PermanenceIsSetRevokedAndReset) {
  store(known("1", axis()));
  store(known("2", unit(3)));
  settle();
  manager_.makeSpeakerPermanent("1");
  manager_.makeSpeakerPermanent("2");
  manager_.makeSpeakerPermanent("9");
  EXPECT_EQ(manager_.permanentSpeakerIds(), (Strings{"1", "2"}));
  manager_.revokePermanence("2");
  manager_.revokePermanence("9");
  EXPECT_EQ(manager_.permanentSpeakerIds(), (Strings{"1"}));
  manager_.resetPermanentFlags();
  EXPECT_TRUE(manager_.permanentSpeakerIds().empty());

  EXPECT_EQ(infos(), (Strings{"Marking speaker 1 as permanent.", "Marking speaker 2 as permanent.",
                              "Revoking permanence from speaker 2."}));
  EXPECT_EQ(warnings(), (Strings{"Failed to mark speaker 9 as permanent (speaker not found).",
                                 "Failed to revoke permanence from speaker 9 (speaker not found)."}));
}

TEST_F(SpeakerMaintenanceTest, MergeFoldsTheSourceIntoTheDestination) {
  const Speaker a = withHistory("1", 2, 3.0f, 2);
  const Speaker b = withHistory("2", 3, 4.0f, 5);
  store(a);
  store(b);
  const auto next = manager_.nextSpeakerId();
  const auto highest = manager_.highestSpeakerId();
  settle();

  manager_.mergeSpeaker("1", "2");
  EXPECT_EQ(ids(), (Strings{"2"}));
  const auto merged = *manager_.getSpeaker("2");
  ASSERT_EQ(merged.rawEmbeddings.size(), 5u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(merged.rawEmbeddings[i].segmentId, b.rawEmbeddings[i].segmentId);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(merged.rawEmbeddings[3 + i].segmentId, a.rawEmbeddings[i].segmentId);
  EXPECT_FLOAT_EQ(merged.duration, 7.0f);
  EXPECT_EQ(merged.updateCount, 7);
  EXPECT_EQ(merged.name, "Known 2");
  EXPECT_EQ(manager_.nextSpeakerId(), next);
  EXPECT_EQ(manager_.highestSpeakerId(), highest);
  EXPECT_EQ(log_.records().size(), settled_);

  store(withHistory("3", 1, 1.0f, 1));
  manager_.mergeSpeaker("3", "2", "Alice");
  EXPECT_EQ(manager_.getSpeaker("2")->name, "Alice");
}

TEST_F(SpeakerMaintenanceTest, MergesThatDoNothing) {
  struct Case {
    const char* name;
    std::function<void(SpeakerManager&)> merge;
    Strings remaining;
  };
  const Case cases[] = {
      {"permanentSourceStops", [](SpeakerManager& m) { m.mergeSpeaker("1", "2", std::nullopt, true); }, {"1", "2"}},
      {"permanentSourceMergedWhenAllowed", [](SpeakerManager& m) { m.mergeSpeaker("1", "2", std::nullopt, false); },
       {"2"}},
      {"permanentDestinationPlaysNoPart", [](SpeakerManager& m) { m.mergeSpeaker("2", "1"); }, {"1"}},
      {"intoItself", [](SpeakerManager& m) { m.mergeSpeaker("2", "2"); }, {"1", "2"}},
      {"intoUnknown", [](SpeakerManager& m) { m.mergeSpeaker("2", "9"); }, {"1", "2"}},
      {"fromUnknown", [](SpeakerManager& m) { m.mergeSpeaker("9", "2"); }, {"1", "2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpeakerManager manager(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
    Speaker permanent = withHistory("1", 1, 1.0f, 1);
    permanent.isPermanent = true;
    store(manager, permanent);
    store(manager, withHistory("2", 1, 1.0f, 1));
    c.merge(manager);
    EXPECT_EQ(manager.speakerIds(), c.remaining);
  }
}

TEST_F(SpeakerMaintenanceTest, MergeablePairsLaterIntoEarlierOrIntoThePermanentOne) {
  store(known("1", unit(7)));
  store(known("2", axis()));
  store(known("3", direction(0.9f)));
  EXPECT_EQ(manager_.findMergeablePairs(), (Pairs{{"3", "2"}}));
  // An explicit threshold below their distance of 0.1.
  EXPECT_TRUE(manager_.findMergeablePairs(0.05f).empty());

  store(known("3", direction(0.9f), true));
  EXPECT_EQ(manager_.findMergeablePairs(), (Pairs{{"2", "3"}}));
  EXPECT_EQ(ids(), (Strings{"1", "2", "3"}));
}

TEST_F(SpeakerMaintenanceTest, TwoPermanentSpeakersAreSkippedUnlessAsked) {
  store(known("1", axis(), true));
  store(known("2", direction(0.9f), true));
  settle();
  EXPECT_TRUE(manager_.findMergeablePairs(std::nullopt, true).empty());
  EXPECT_EQ(infos(), (Strings{"findMergeablePairs: Skipping 1 and 2 as both are permanent"}));
  EXPECT_EQ(manager_.findMergeablePairs(std::nullopt, false), (Pairs{{"1", "2"}}));
}

TEST_F(SpeakerMaintenanceTest, RemovalById) {
  Speaker permanent = known("1", axis(), true);
  store(permanent);
  settle();
  manager_.removeSpeaker("1");
  manager_.removeSpeaker("9", false);
  EXPECT_EQ(ids(), (Strings{"1"}));
  manager_.removeSpeaker("1", false);
  EXPECT_TRUE(ids().empty());
  EXPECT_EQ(warnings(), (Strings{"Failed to remove speaker: 1 (Speaker is permanent)",
                                 "Failed to remove speaker: 9 (Speaker not found)"}));
  EXPECT_EQ(infos(), (Strings{"Removing speaker: 1"}));
}

TEST_F(SpeakerMaintenanceTest, RemovalByInactivity) {
  auto at = [&](const std::string& id, double updatedAt, bool permanent) {
    Speaker speaker = known(id, axis(), permanent);
    speaker.updatedAt = updatedAt;
    store(speaker);
  };
  at("1", 150, false);
  at("2", 200, false);  // exactly at the cut-off: stays
  at("3", 50, true);
  at("4", 199.999, false);
  settle();
  manager_.removeSpeakersInactiveSince(200);
  EXPECT_EQ(ids(), (Strings{"2", "3"}));
  EXPECT_EQ(infos(), (Strings{"Removing speaker 1 due to inactivity", "Removing speaker 4 due to inactivity"}));
  manager_.removeSpeakersInactiveSince(200, false);
  EXPECT_EQ(ids(), (Strings{"2"}));

  const double now = SpeakerClock::now();
  at("5", now - 120, false);
  at("6", now + 3600, false);
  at("7", now - 120, true);
  manager_.removeSpeakersInactiveFor(60);
  EXPECT_EQ(ids(), (Strings{"6", "7"}));
}

TEST_F(SpeakerMaintenanceTest, RemovalByPredicate) {
  store(withHistory("1", 1, 5.0f, 1));
  store(withHistory("2", 1, 0.5f, 1));
  Speaker permanent = withHistory("3", 1, 0.5f, 1);
  permanent.isPermanent = true;
  store(permanent);
  const auto shortSpeech = [](const Speaker& s) { return s.duration < 1.0f; };
  settle();

  manager_.removeSpeakers([](const Speaker&) { return false; });
  EXPECT_EQ(ids(), (Strings{"1", "2", "3"}));
  manager_.removeSpeakers(shortSpeech);
  EXPECT_EQ(ids(), (Strings{"1", "3"}));
  manager_.removeSpeakers(shortSpeech, false);
  EXPECT_EQ(ids(), (Strings{"1"}));
  EXPECT_EQ(infos(), (Strings{"Removing speaker 2 based on predicate", "Removing speaker 3 based on predicate"}));
}

TEST_F(SpeakerMaintenanceTest, ReassignmentMovesOneEntryUnchanged) {
  Speaker from = withHistory("1", 2, 3.0f, 2, axis());
  Speaker to = withHistory("2", 1, 4.0f, 5, unit(9));
  store(from);
  store(to);
  const auto segment = from.rawEmbeddings[0];
  settle();

  EXPECT_TRUE(manager_.reassignSegment(segment.segmentId, "1", "2"));
  const auto source = *manager_.getSpeaker("1");
  const auto destination = *manager_.getSpeaker("2");
  ASSERT_EQ(source.rawEmbeddings.size(), 1u);
  EXPECT_EQ(source.rawEmbeddings[0], from.rawEmbeddings[1]);
  ASSERT_EQ(destination.rawEmbeddings.size(), 2u);
  EXPECT_EQ(destination.rawEmbeddings[1], segment);
  EXPECT_EQ(source.currentEmbedding, from.currentEmbedding);
  EXPECT_EQ(destination.currentEmbedding, to.currentEmbedding);
  EXPECT_EQ(destination.duration, 4.0f);
  EXPECT_EQ(destination.updateCount, 5);
  EXPECT_EQ(destination.updatedAt, to.updatedAt);

  EXPECT_FALSE(manager_.reassignSegment(segment.segmentId, "1", "2"));
  EXPECT_FALSE(manager_.reassignSegment(segment.segmentId, "1", "9"));
  const std::string uuid = segment.segmentId.toString();
  ASSERT_EQ(uuid.size(), 36u);
  EXPECT_EQ(infos(), (Strings{"Reassigned segment " + uuid + " from 1 to 2"}));
  EXPECT_EQ(warnings(), (Strings{"Segment " + uuid + " not found in speaker 1",
                                 "One or both speakers not found: from=1, to=9"}));
}

TEST_F(SpeakerMaintenanceTest, GlobalStatistics) {
  EXPECT_EQ(manager_.getGlobalSpeakerStats(), (SpeakerManager::GlobalSpeakerStats{0, 0, 0, 0}));
  EXPECT_TRUE(log_.records().empty());

  store(withHistory("1", 0, 1.5f, 1));
  store(withHistory("2", 2, 2.0f, 1));
  store(withHistory("3", 1, 0.5f, 40));
  settle();
  EXPECT_EQ(manager_.getGlobalSpeakerStats(), (SpeakerManager::GlobalSpeakerStats{3, 4.0f, 1.0f, 2}));
  EXPECT_EQ(infos().back(), "Global stats - Speakers: 3, Duration: 4.0s, Avg confidence: 1.40, With history: 2");

  SpeakerManager two(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
  store(two, withHistory("1", 1, 1.0f, 2));
  store(two, withHistory("2", 1, 1.0f, 3));
  EXPECT_FLOAT_EQ(two.getGlobalSpeakerStats().averageConfidence, 0.25f);
}

}  // namespace
}  // namespace tesselaudio
