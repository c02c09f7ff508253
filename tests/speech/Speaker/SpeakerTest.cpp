#include "speech/Speaker/Speaker.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"
#include "platform/sys/Uuid.h"
#include "speech/Speaker/SpeakerClock.h"

namespace tesselaudio {
namespace {

using Embedding = std::vector<float>;
using platform::Uuid;

void expectNear(const Embedding& actual, const Embedding& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-6) << "at " << i;
}

// A speaker whose history holds `count` entries stamped first, first + step, ...
Speaker speakerWithHistory(const std::string& id, int count, double first, double step = 1) {
  Speaker speaker(id, std::nullopt, Embedding{1, 0});
  for (int i = 0; i < count; ++i) {
    const float angle = 0.01f * static_cast<float>(i);
    speaker.rawEmbeddings.emplace_back(Uuid::random(), Embedding{std::cos(angle), std::sin(angle)},
                                       first + step * i);
  }
  speaker.recalculateMainEmbedding();
  return speaker;
}

std::vector<double> timestamps(const Speaker& speaker) {
  std::vector<double> stamps;
  for (const auto& entry : speaker.rawEmbeddings) stamps.push_back(entry.timestamp);
  return stamps;
}

TEST(SpeakerTest, NewSpeakerWithoutIdOrName) {
  const double before = SpeakerClock::now();
  const Speaker speaker(std::nullopt, std::nullopt, Embedding{3, 4});
  const auto id = Uuid::fromString(speaker.id);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->toString(), speaker.id);  // upper-case text
  EXPECT_EQ(speaker.name, speaker.id);
  expectNear(speaker.currentEmbedding, {0.6f, 0.8f});
  EXPECT_EQ(speaker.duration, 0.0f);
  EXPECT_EQ(speaker.updateCount, 1);
  EXPECT_TRUE(speaker.rawEmbeddings.empty());
  EXPECT_FALSE(speaker.isPermanent);
  EXPECT_EQ(speaker.createdAt, speaker.updatedAt);
  EXPECT_GE(speaker.createdAt, before);
  EXPECT_LE(speaker.createdAt, SpeakerClock::now());
}

TEST(SpeakerTest, UpdateBlendsTheFreshAverage) {
  Speaker speaker("1", "Speaker 1", Embedding{1, 0});
  speaker.addRawEmbedding(RawEmbedding(Uuid::random(), Embedding{1, 0}, 10));
  const Uuid segment = Uuid::random();

  speaker.updateMainEmbedding(2.5f, Embedding{0, 1}, segment, 0.9f);

  expectNear(speaker.currentEmbedding, {0.6538656f, 0.7566107f});
  ASSERT_EQ(speaker.rawEmbeddings.size(), 2u);
  EXPECT_EQ(speaker.rawEmbeddings.back().segmentId, segment);
  EXPECT_FLOAT_EQ(speaker.duration, 2.5f);
  EXPECT_EQ(speaker.updateCount, 2);
}

TEST(SpeakerTest, WeakEmbeddingsChangeNothing) {
  for (const Embedding& weak : {Embedding{0.05f, 0.05f}, Embedding{0, 0}, Embedding{}}) {
    SCOPED_TRACE(weak.size());
    Speaker speaker = speakerWithHistory("1", 3, 10);
    const auto before = speaker.toJson();
    speaker.updateMainEmbedding(3, weak, Uuid::random(), 0.9f);
    EXPECT_EQ(speaker.toJson(), before);
  }
  // A history entry is stored normalised, so only one of zeros stays too weak to enter.
  Speaker speaker = speakerWithHistory("1", 3, 10);
  const auto before = speaker.toJson();
  speaker.addRawEmbedding(RawEmbedding(Uuid::random(), Embedding{0, 0}, 20));
  EXPECT_EQ(speaker.toJson(), before);
}

TEST(SpeakerTest, FullHistorySlides) {
  Speaker speaker = speakerWithHistory("1", 50, 100);
  const Uuid segment = Uuid::random();
  speaker.updateMainEmbedding(1, Embedding{0, 1}, segment, 0.9f);
  ASSERT_EQ(speaker.rawEmbeddings.size(), 50u);
  EXPECT_EQ(speaker.rawEmbeddings.front().timestamp, 101);
  EXPECT_EQ(speaker.rawEmbeddings.back().segmentId, segment);
}

TEST(SpeakerTest, RecalculationAveragesEntriesOfTheFirstLength) {
  Speaker speaker("1", std::nullopt, Embedding{1, 0, 0});
  speaker.rawEmbeddings = {RawEmbedding(Uuid::random(), Embedding{1, 0, 0}, 1),
                           RawEmbedding(Uuid::random(), Embedding{0, 1}, 2),
                           RawEmbedding(Uuid::random(), Embedding{0, 0, 1}, 3)};
  speaker.updatedAt = 0;
  speaker.recalculateMainEmbedding();
  expectNear(speaker.currentEmbedding, {0.7071068f, 0, 0.7071068f});
  EXPECT_GT(speaker.updatedAt, 0);
}

TEST(SpeakerTest, RemovingEntries) {
  Speaker speaker("1", std::nullopt, Embedding{0.6f, 0.8f});
  const RawEmbedding only(Uuid::random(), Embedding{1, 0}, 5);
  speaker.rawEmbeddings = {only};
  const Embedding main = speaker.currentEmbedding;

  EXPECT_FALSE(speaker.removeRawEmbedding(Uuid::random()).has_value());
  EXPECT_EQ(speaker.rawEmbeddings.size(), 1u);

  const auto removed = speaker.removeRawEmbedding(only.segmentId);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(*removed, only);
  EXPECT_TRUE(speaker.rawEmbeddings.empty());
  EXPECT_EQ(speaker.currentEmbedding, main);
}

TEST(SpeakerTest, MergeKeepsTheFiftyNewestNewestFirst) {
  // Interleaved times: this speaker's entries at even seconds, the other's at odd ones.
  Speaker a = speakerWithHistory("1", 30, 0, 2);
  a.duration = 3;
  a.updateCount = 4;
  a.isPermanent = true;
  Speaker b = speakerWithHistory("2", 30, 1, 2);
  b.name = "Guest";
  b.duration = 5;
  b.updateCount = 6;
  const double created = a.createdAt;

  Speaker unnamed = a;
  unnamed.mergeWith(b);
  EXPECT_EQ(unnamed.name, "1");

  a.mergeWith(b, "Chair");
  ASSERT_EQ(a.rawEmbeddings.size(), 50u);
  std::vector<double> expected;
  for (int t = 59; t >= 10; --t) expected.push_back(t);
  EXPECT_EQ(timestamps(a), expected);
  EXPECT_FLOAT_EQ(a.duration, 8);
  EXPECT_EQ(a.updateCount, 10);
  EXPECT_EQ(a.name, "Chair");
  EXPECT_EQ(a.id, "1");
  EXPECT_EQ(a.createdAt, created);
  EXPECT_TRUE(a.isPermanent);
}

TEST(SpeakerTest, AfterATrimmingMergeAppendsDropTheOldest) {
  Speaker a = speakerWithHistory("1", 30, 0, 2);
  a.mergeWith(speakerWithHistory("2", 30, 1, 2));
  const Uuid first = Uuid::random();
  const Uuid second = Uuid::random();

  a.addRawEmbedding(RawEmbedding(first, Embedding{0, 1}, 100));
  a.updateMainEmbedding(1, Embedding{1, 1}, second, 0.9f);

  ASSERT_EQ(a.rawEmbeddings.size(), 50u);
  std::vector<double> stamps = timestamps(a);
  EXPECT_EQ(std::count(stamps.begin(), stamps.end(), 10.0), 0);
  EXPECT_EQ(std::count(stamps.begin(), stamps.end(), 11.0), 0);
  EXPECT_EQ(std::count(stamps.begin(), stamps.end(), 59.0), 1);
  EXPECT_EQ(a.rawEmbeddings[48].segmentId, first);
  EXPECT_EQ(a.rawEmbeddings[49].segmentId, second);
}

TEST(SpeakerTest, EqualByIdAlone) {
  const Speaker a("1", "Alice", Embedding{1, 0});
  const Speaker b("1", "Bob", Embedding{0, 1}, 4);
  const Speaker c("2", "Alice", Embedding{1, 0});
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(std::hash<Speaker>()(a), std::hash<Speaker>()(b));
}

TEST(SpeakerTest, CodesAllKeysInOrderAndStoresValuesAsDecoded) {
  Speaker speaker = speakerWithHistory("7", 2, 10);
  speaker.currentEmbedding = {3, 4};  // not unit length: decoding must keep it so
  speaker.duration = 2.5f;
  speaker.updateCount = 9;
  speaker.isPermanent = true;
  const nlohmann::ordered_json json = speaker.toJson();
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "currentEmbedding", "duration", "createdAt",
                                            "updatedAt", "updateCount", "rawEmbeddings",
                                            "isPermanent"}));
  EXPECT_EQ(json["rawEmbeddings"][0]["segmentId"], speaker.rawEmbeddings[0].segmentId.toString());

  const Speaker decoded = Speaker::fromJson(nlohmann::json::parse(json.dump()));
  EXPECT_EQ(decoded.toJson(), json);
  EXPECT_EQ(decoded.currentEmbedding, (Embedding{3, 4}));
  EXPECT_EQ(decoded.rawEmbeddings, speaker.rawEmbeddings);
}

TEST(SpeakerTest, DecodingRequiresEveryKey) {
  const nlohmann::json complete = speakerWithHistory("1", 1, 10).toJson();
  for (const auto& item : complete.items()) {
    SCOPED_TRACE(item.key());
    nlohmann::json json = complete;
    json.erase(item.key());
    EXPECT_THROW(Speaker::fromJson(json), platform::JsonCodingError);
  }
  const nlohmann::json entry = complete["rawEmbeddings"][0];
  for (const auto& item : entry.items()) {
    SCOPED_TRACE(item.key());
    nlohmann::json json = entry;
    json.erase(item.key());
    EXPECT_THROW(RawEmbedding::fromJson(json), platform::JsonCodingError);
  }
  nlohmann::json badId = entry;
  badId["segmentId"] = "not-a-uuid";
  EXPECT_THROW(RawEmbedding::fromJson(badId), platform::JsonCodingError);
}

TEST(SpeakerTest, DecodedSpeakerWithAnEmptyEmbeddingStaysUsable) {
  nlohmann::json json = speakerWithHistory("1", 0, 0).toJson();
  json["currentEmbedding"] = nlohmann::json::array();
  Speaker speaker = Speaker::fromJson(json);
  EXPECT_TRUE(speaker.currentEmbedding.empty());
  speaker.updateMainEmbedding(1, Embedding{0, 1}, Uuid::random(), 0.9f);
  expectNear(speaker.currentEmbedding, {0, 1});
  EXPECT_EQ(speaker.updateCount, 2);
}

}  // namespace
}  // namespace tesselaudio
