#include "speech/Diarizer/Clustering/SpeakerManager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Speaker/SpeakerUtilities.h"
#include "tests/speech/Diarizer/Clustering/SpeakerManagerFixture.h"

namespace tesselaudio {
namespace {

using Level = platform::SystemLog::Level;
constexpr float kInf = std::numeric_limits<float>::infinity();

using SpeakerManagerTest = SpeakerManagerFixture;

TEST_F(SpeakerManagerTest, FirstSpeakerOfAnEmptyDatabase) {
  EXPECT_FLOAT_EQ(manager_.minEmbeddingUpdateDuration(), 2.0f);
  const auto speaker = manager_.assignSpeaker(direction(0.6f), 1.5f);
  ASSERT_TRUE(speaker.has_value());
  EXPECT_EQ(speaker->id, "1");
  EXPECT_EQ(speaker->name, "Speaker 1");
  EXPECT_FLOAT_EQ(speaker->duration, 1.5f);
  EXPECT_EQ(speaker->rawEmbeddings.size(), 1u);
  EXPECT_EQ(speaker->updateCount, 1);
  EXPECT_NEAR(speaker->currentEmbedding[0], 0.6f, 1e-6);
  EXPECT_EQ(manager_.nextSpeakerId(), 2);
  EXPECT_EQ(manager_.highestSpeakerId(), 1);
  EXPECT_EQ(manager_.getSpeaker("1")->rawEmbeddings, speaker->rawEmbeddings);
  EXPECT_EQ(messages(Level::info), (std::vector<std::string>{"Created new speaker 1 (distance to closest: inf)"}));
}

TEST_F(SpeakerManagerTest, TooLittleSpeechForANewSpeaker) {
  for (float duration : {0.5f, 0.999f, std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_FALSE(manager_.assignSpeaker(axis(), duration).has_value());
  }
  EXPECT_EQ(manager_.speakerCount(), 0u);
  EXPECT_EQ(manager_.nextSpeakerId(), 1);
  const auto debug = messages(Level::debug);
  ASSERT_EQ(debug.size(), 3u);
  EXPECT_EQ(debug[0], "Audio segment too short (0.5s) to create new speaker");
  EXPECT_EQ(debug[2], "Audio segment too short (nans) to create new speaker");
}

TEST_F(SpeakerManagerTest, RefusesEmbeddingsOfAnotherSize) {
  EXPECT_FALSE(manager_.assignSpeaker(Embedding(255, 0.1f), 5).has_value());
  EXPECT_FALSE(manager_.assignSpeaker(Embedding(), 5).has_value());
  EXPECT_EQ(manager_.speakerCount(), 0u);
  EXPECT_EQ(messages(Level::error),
            (std::vector<std::string>{"Invalid embedding size: 255", "Invalid embedding size: 0"}));
}

TEST_F(SpeakerManagerTest, DistanceDecidesBetweenUpdateAttributionAndANewSpeaker) {
  struct Case {
    const char* name;
    float x;  // cosine distance 1 − x to the stored speaker
    bool refines;
    bool attributes;
  };
  const Case cases[] = {
      {"0.3 refines the speaker", 0.7f, true, true},
      {"0.7 only adds the duration", 0.3f, false, true},
      {"exactly 0.56 only adds the duration", 0.44f, false, true},
      {"exactly 0.84 makes a new speaker", 0.16f, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpeakerManager manager(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
    store(manager, known("1", direction(c.x)));
    const Speaker before = *manager.getSpeaker("1");

    const auto assigned = manager.assignSpeaker(axis(), 3.0f);

    ASSERT_TRUE(assigned.has_value());
    const Speaker after = *manager.getSpeaker("1");
    if (c.attributes) {
      EXPECT_EQ(assigned->id, "1");
      EXPECT_EQ(manager.speakerCount(), 1u);
      EXPECT_FLOAT_EQ(after.duration, before.duration + 3.0f);
      EXPECT_GT(after.updatedAt, before.updatedAt);
    } else {
      EXPECT_EQ(assigned->id, "2");
      EXPECT_EQ(manager.speakerCount(), 2u);
      EXPECT_EQ(after.toJson(), before.toJson());
    }
    EXPECT_EQ(after.rawEmbeddings.size(), before.rawEmbeddings.size() + (c.refines ? 1 : 0));
    EXPECT_EQ(after.updateCount, before.updateCount + (c.refines ? 1 : 0));
    EXPECT_EQ(after.currentEmbedding != before.currentEmbedding, c.refines);
  }
}

TEST_F(SpeakerManagerTest, PerCallThresholdHoldsForThatCallOnly) {
  manager_.upsertSpeaker(known("1", axis()));
  // Distance 0.7: a new speaker under a per-call threshold of 0.5, then the field's 0.84 again.
  const auto strict = manager_.assignSpeaker(direction(0.3f), 3.0f, 1.0f, 0.5f);
  ASSERT_TRUE(strict.has_value());
  EXPECT_EQ(strict->id, "2");
  EXPECT_FLOAT_EQ(manager_.speakerThreshold(), kSpeakerThreshold);
  const auto relaxed = manager_.assignSpeaker(direction(0.3f, 3), 3.0f);
  ASSERT_TRUE(relaxed.has_value());
  EXPECT_EQ(relaxed->id, "1");
}

TEST_F(SpeakerManagerTest, LookupsAcceptADistanceEqualToTheThreshold) {
  store(known("1", direction(0.16f)));
  const auto found = manager_.findSpeaker(axis());
  ASSERT_TRUE(found.id.has_value());
  EXPECT_EQ(*found.id, "1");
  EXPECT_EQ(found.distance, kSpeakerThreshold);
  const auto missed = manager_.findSpeaker(axis(), 0.5f);
  EXPECT_FALSE(missed.id.has_value());
  EXPECT_EQ(missed.distance, kInf);
  // The assignment, strictly below, does not match it.
  EXPECT_EQ(manager_.assignSpeaker(axis(), 3.0f)->id, "2");
}

TEST_F(SpeakerManagerTest, MatchingSpeakersSortByDistanceAndSkipNaN) {
  const unsigned seed = 256;
  std::printf("SpeakerManagerTest seed: %u\n", seed);
  std::mt19937 random(seed);
  std::normal_distribution<float> value;
  for (int i = 0; i < 40; ++i) {
    Embedding e(SpeakerManager::embeddingSize);
    for (float& v : e) v = value(random);
    // Nudge half of them towards the axis, so that some fall under the threshold.
    if (i % 2 == 0) e[0] += 20;
    manager_.upsertSpeaker(known("s" + std::to_string(i), e));
  }
  // An infinite value stored as it is: 0 × inf makes the distance NaN.
  Embedding broken = axis();
  broken[7] = std::numeric_limits<float>::infinity();
  store(known("nan", broken));
  ASSERT_TRUE(std::isnan(SpeakerUtilities::cosineDistance(axis(), broken)));
  manager_.upsertSpeaker(known("twin-a", direction(0.5f)));
  manager_.upsertSpeaker(known("twin-b", direction(0.5f)));

  const auto matches = manager_.findMatchingSpeakers(axis());

  ASSERT_GE(matches.size(), 10u);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    SCOPED_TRACE(matches[i].id);
    EXPECT_NE(matches[i].id, "nan");
    EXPECT_LE(matches[i].distance, kSpeakerThreshold);
    EXPECT_EQ(matches[i].distance,
              SpeakerUtilities::cosineDistance(axis(), manager_.getSpeaker(matches[i].id)->currentEmbedding));
    if (i > 0) {
      EXPECT_LE(matches[i - 1].distance, matches[i].distance);
    }
  }
  std::size_t listed = 0;
  for (const auto& [id, speaker] : manager_.speakerDatabase()) {
    const float d = SpeakerUtilities::cosineDistance(axis(), speaker.currentEmbedding);
    if (d <= kSpeakerThreshold) ++listed;
  }
  EXPECT_EQ(matches.size(), listed);
  const auto twinA = std::find_if(matches.begin(), matches.end(), [](const auto& m) { return m.id == "twin-a"; });
  ASSERT_NE(twinA, matches.end());
  EXPECT_EQ(std::next(twinA)->id, "twin-b");
}

TEST_F(SpeakerManagerTest, BrokenStoredEmbeddingsNeverMatchAndNeverCrash) {
  nlohmann::json json = known("1", axis()).toJson();
  json["currentEmbedding"] = nlohmann::json::array();
  manager_.upsertSpeaker(Speaker::fromJson(json));
  Embedding zeros(SpeakerManager::embeddingSize, 0.0f);
  manager_.upsertSpeaker(known("2", zeros));
  EXPECT_FALSE(manager_.findSpeaker(axis(), 2.0f).id.has_value());
  const auto assigned = manager_.assignSpeaker(axis(), 2.0f);
  ASSERT_TRUE(assigned.has_value());
  EXPECT_EQ(assigned->id, "3");
  // Zero and NaN queries match nobody.
  EXPECT_FALSE(manager_.findSpeaker(zeros, 2.0f).id.has_value());
  const Embedding nan(SpeakerManager::embeddingSize, std::numeric_limits<float>::quiet_NaN());
  EXPECT_FALSE(manager_.findSpeaker(nan, 2.0f).id.has_value());
  EXPECT_TRUE(manager_.findMatchingSpeakers(nan, 2.0f).empty());
}

TEST_F(SpeakerManagerTest, NewSpeakersNeverOverwriteStoredOnes) {
  manager_.upsertSpeaker(known("5", direction(0.0f, 5)));
  manager_.initializeKnownSpeakers({known("2", direction(0.0f, 2))}, SpeakerInitializationMode::skip, true);
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
  const Speaker five = *manager_.getSpeaker("5");

  std::vector<std::string> ids;
  for (int plane : {10, 11, 12}) ids.push_back(manager_.assignSpeaker(direction(0.0f, plane), 2.0f)->id);

  EXPECT_EQ(ids, (std::vector<std::string>{"3", "4", "6"}));
  EXPECT_EQ(manager_.getSpeaker("5")->toJson(), five.toJson());
  EXPECT_EQ(manager_.nextSpeakerId(), 7);
}

TEST_F(SpeakerManagerTest, TheLargestIdLeavesNoNextId) {
  store(known("9223372036854775807", direction(0.0f, 9)));
  EXPECT_EQ(manager_.nextSpeakerId(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(manager_.highestSpeakerId(), std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(manager_.assignSpeaker(axis(), 5.0f).has_value());
  EXPECT_EQ(manager_.speakerCount(), 1u);
  EXPECT_EQ(messages(Level::error), (std::vector<std::string>{"No speaker id left for a new speaker"}));

  // An upsert of the largest id does not overflow either.
  SpeakerManager other(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
  other.upsertSpeaker(known("9223372036854775807", axis()));
  EXPECT_EQ(other.nextSpeakerId(), std::numeric_limits<std::int64_t>::max());
}

}  // namespace
}  // namespace tesselaudio
