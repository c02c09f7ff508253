#include "speech/Diarizer/Clustering/SpeakerManager.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/Uuid.h"
#include "tests/speech/Diarizer/Clustering/SpeakerManagerFixture.h"

namespace tesselaudio {
namespace {

using Level = platform::SystemLog::Level;
using Mode = SpeakerInitializationMode;
using Ids = std::vector<std::string>;

class SpeakerManagerLoadingTest : public SpeakerManagerFixture {
 protected:
  // A speaker to load: unnormalised main embedding, one history entry, two updates.
  static Speaker incoming(const std::string& id) {
    Speaker speaker = known(id, Embedding(SpeakerManager::embeddingSize, 2.0f));
    speaker.name = "Incoming " + id;
    speaker.duration = 4;
    speaker.updateCount = 2;
    speaker.rawEmbeddings = {RawEmbedding(platform::Uuid::random(), Embedding{1, 0}, 50)};
    return speaker;
  }
};

TEST_F(SpeakerManagerLoadingTest, ModesMeetAStoredSpeaker) {
  struct Case {
    const char* name;
    Mode mode;
    bool storedPermanent;
    bool preserve;
    const char* warning;  // nullptr: none
    const char* resultName;
    bool loaded;
  };
  const Case cases[] = {
      {"merge", Mode::merge, false, true,
       "Speaker 7 is already initialized. Merging with old speaker.", "Incoming 7", true},
      {"merge refused by permanence", Mode::merge, true, true,
       "Failed to merge Speaker 7 into Speaker 7 because the existing speaker is permanent. Skipping",
       "Known 7", false},
      {"merge into permanent without preserving", Mode::merge, true, false,
       "Speaker 7 is already initialized. Merging with old speaker.", "Incoming 7", true},
      {"overwrite", Mode::overwrite, false, true,
       "Speaker 7 is already initialized. Overwriting old speaker.", "Incoming 7", true},
      {"overwrite refused by permanence", Mode::overwrite, true, true,
       "Failed to overwrite Speaker 7 because it is permanent. Skipping", "Known 7", false},
      {"reset keeps the permanent and refuses", Mode::reset, true, true,
       "Failed to overwrite Speaker 7 because it is permanent. Skipping", "Known 7", false},
      {"reset empties first", Mode::reset, false, true, nullptr, "Incoming 7", true},
      {"skip", Mode::skip, false, true, "Speaker 7 is already initialized. Skipping new speaker.",
       "Known 7", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpeakerManager manager(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
    manager.upsertSpeaker(known("7", direction(0.5f), c.storedPermanent));
    manager.upsertSpeaker(known("30", direction(0.5f)));
    const Speaker before = *manager.getSpeaker("7");
    const Speaker loadedSpeaker = incoming("7");

    testsupport::SystemLogCapture loading;
    manager.initializeKnownSpeakers({loadedSpeaker}, c.mode, c.preserve);

    std::vector<std::string> warnings;
    std::vector<std::string> infos;
    for (const auto& record : loading.records()) {
      if (record.level == Level::error) warnings.push_back(record.message);
      if (record.level == Level::info) infos.push_back(record.message);
    }
    EXPECT_EQ(warnings, c.warning ? Ids{c.warning} : Ids{});
    const Speaker after = *manager.getSpeaker("7");
    EXPECT_EQ(after.name, c.resultName);
    // Only a loaded speaker counts for the next id; stored ones never do.
    EXPECT_EQ(manager.nextSpeakerId(), c.loaded ? 8 : 1);
    EXPECT_EQ(manager.hasSpeaker("30"), c.mode != Mode::reset);
    const std::string count = std::to_string(manager.speakerCount());
    Ids expectedInfos;
    if (c.mode == Mode::reset) expectedInfos.push_back("Speaker database reset");
    if (c.loaded) expectedInfos.push_back("Initialized known speaker: 7 with 1 raw embeddings");
    expectedInfos.push_back("Initialized with " + count + " known speakers, next ID will be: " +
                            (c.loaded ? "8" : "1"));
    EXPECT_EQ(infos, expectedInfos);
    if (!c.loaded) {
      EXPECT_EQ(after.toJson(), before.toJson());
    } else if (c.mode == Mode::merge) {
      EXPECT_FLOAT_EQ(after.duration, before.duration + 4);
      EXPECT_EQ(after.updateCount, before.updateCount + 2);
      EXPECT_EQ(after.rawEmbeddings.size(), 1u);
      EXPECT_EQ(after.isPermanent, c.storedPermanent);
    } else {
      EXPECT_EQ(after.toJson(), loadedSpeaker.toJson());
    }
  }
}

TEST_F(SpeakerManagerLoadingTest, LoadedSpeakersAreStoredUnchangedAndSetTheNextId) {
  const Speaker speaker = incoming("7");
  manager_.initializeKnownSpeakers({speaker}, Mode::skip, true);
  EXPECT_EQ(manager_.getSpeaker("7")->toJson(), speaker.toJson());
  EXPECT_EQ(manager_.nextSpeakerId(), 8);
  EXPECT_EQ(manager_.highestSpeakerId(), 7);
  EXPECT_EQ(manager_.assignSpeaker(direction(0.0f, 40), 2.0f)->id, "8");
}

TEST_F(SpeakerManagerLoadingTest, NextIdComesFromTheLoadedNumericIdsAlone) {
  struct Case {
    const char* name;
    Ids ids;
    std::int64_t next;
  };
  const Case cases[] = {
      {"non-numeric", {"a", "b"}, 1},
      {"largest wins", {"3", "12", "+4"}, 13},
      {"negative ids never lower it below 1", {"-5"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpeakerManager manager(kSpeakerThreshold, kEmbeddingThreshold, 1.0f, 2.0f);
    manager.upsertSpeaker(known("40", axis()));
    std::vector<Speaker> speakers;
    for (const auto& id : c.ids) speakers.push_back(incoming(id));
    manager.initializeKnownSpeakers(speakers, Mode::merge, true);
    EXPECT_EQ(manager.nextSpeakerId(), c.next);
  }
}

TEST_F(SpeakerManagerLoadingTest, SkipsSpeakersWithoutAFullEmbedding) {
  Speaker shortOne = incoming("3");
  shortOne.currentEmbedding.resize(255);
  manager_.initializeKnownSpeakers({shortOne, incoming("2")}, Mode::skip, true);
  EXPECT_FALSE(manager_.hasSpeaker("3"));
  EXPECT_TRUE(manager_.hasSpeaker("2"));
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
  EXPECT_EQ(messages(Level::error), Ids{"Skipping speaker 3 - invalid embedding size: 255"});
}

TEST_F(SpeakerManagerLoadingTest, ResetKeepingPermanentSpeakers) {
  manager_.upsertSpeaker(known("3", axis(), true));
  manager_.upsertSpeaker(known("x", axis(), true));
  manager_.upsertSpeaker(known("9", axis()));
  manager_.upsertSpeaker(known("-20", axis(), true));

  manager_.reset(true);

  EXPECT_EQ(manager_.speakerIds(), (Ids{"-20", "3", "x"}));
  EXPECT_EQ(manager_.nextSpeakerId(), 4);
  EXPECT_EQ(manager_.highestSpeakerId(), 3);

  manager_.reset();
  EXPECT_EQ(manager_.speakerCount(), 0u);
  EXPECT_EQ(manager_.nextSpeakerId(), 1);
  EXPECT_EQ(manager_.highestSpeakerId(), 0);
  const auto infos = messages(Level::info);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "Speaker database reset"), 2);
}

TEST_F(SpeakerManagerLoadingTest, UpsertsInsertAndUpdate) {
  for (const char* id : {"1", "2"}) manager_.assignSpeaker(direction(0.0f, id[0] - '0' + 10), 2.0f);
  manager_.upsertSpeaker(known("2", axis()));  // existing: no change of the counters
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
  manager_.upsertSpeaker("12", std::nullopt, Embedding(SpeakerManager::embeddingSize, 2.0f), 1.5f, {}, 4,
                         std::nullopt, 42.0, false);
  EXPECT_EQ(manager_.nextSpeakerId(), 13);
  EXPECT_EQ(manager_.highestSpeakerId(), 12);

  const Speaker inserted = *manager_.getSpeaker("12");
  EXPECT_EQ(inserted.name, "12");
  EXPECT_NEAR(inserted.currentEmbedding[0], 1.0f / 16, 1e-6);  // normalised on insert
  EXPECT_EQ(inserted.updateCount, 4);
  EXPECT_EQ(inserted.updatedAt, 42.0);
  EXPECT_GT(inserted.createdAt, 42.0);

  manager_.upsertSpeaker("12", "Chair", Embedding{3, 4}, 9, {}, 7, 1.0, 2.0, true);
  const Speaker updated = *manager_.getSpeaker("12");
  EXPECT_EQ(updated.name, "Chair");
  EXPECT_EQ(updated.currentEmbedding, (Embedding{3, 4}));  // as given on update
  EXPECT_EQ(updated.createdAt, inserted.createdAt);
  EXPECT_EQ(updated.updatedAt, 2.0);
  EXPECT_EQ(updated.updateCount, 7);
  EXPECT_TRUE(updated.isPermanent);

  // Permanence is never cleared, a missing name is kept, and a record replaces the name.
  manager_.upsertSpeaker("12", std::nullopt, Embedding{1}, 1, {}, 1, std::nullopt, std::nullopt, false);
  EXPECT_TRUE(manager_.getSpeaker("12")->isPermanent);
  EXPECT_EQ(manager_.getSpeaker("12")->name, "Chair");
  Speaker record = known("12", axis());
  record.name = "Renamed";
  manager_.upsertSpeaker(record);
  EXPECT_EQ(manager_.getSpeaker("12")->name, "Renamed");
  EXPECT_TRUE(manager_.getSpeaker("12")->isPermanent);
  EXPECT_EQ(manager_.nextSpeakerId(), 13);

  const auto infos = messages(Level::info);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "Inserted new speaker: 12"), 1);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "Updated existing speaker: 12"), 3);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "Updated existing speaker: 2"), 1);
}

TEST_F(SpeakerManagerLoadingTest, UpsertOfALowerIdKeepsTheNextId) {
  manager_.assignSpeaker(axis(), 2.0f);
  manager_.assignSpeaker(direction(0.0f, 3), 2.0f);
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
  manager_.upsertSpeaker(known("0", axis()));
  manager_.upsertSpeaker(known("-2", axis()));
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
  manager_.upsertSpeaker(known("x2", axis()));
  EXPECT_EQ(manager_.nextSpeakerId(), 3);
}

TEST_F(SpeakerManagerLoadingTest, Queries) {
  manager_.upsertSpeaker(known("2", axis(), true));
  manager_.upsertSpeaker(known("10", direction(0.5f)));
  manager_.upsertSpeaker(known("1", direction(0.0f, 4), true));
  EXPECT_EQ(manager_.speakerIds(), (Ids{"1", "10", "2"}));
  EXPECT_EQ(manager_.getCurrentSpeakerNames(), (Ids{"1", "10", "2"}));
  EXPECT_EQ(manager_.permanentSpeakerIds(), (Ids{"1", "2"}));
  EXPECT_EQ(manager_.findSpeakers([](const Speaker& s) { return !s.isPermanent; }), Ids{"10"});
  EXPECT_EQ(manager_.getSpeakerList().size(), 3u);
  EXPECT_EQ(manager_.getAllSpeakers().size(), 3u);
  EXPECT_TRUE(manager_.hasSpeaker("10"));
  EXPECT_FALSE(manager_.getSpeaker("3").has_value());

  // Copies are independent.
  SpeakerManager copy = manager_;
  copy.reset();
  EXPECT_EQ(manager_.speakerCount(), 3u);
}

}  // namespace
}  // namespace tesselaudio
