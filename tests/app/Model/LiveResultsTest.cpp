#include "app/Model/LiveModel.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Turn = devadevev::SpeakerDiarizer::Turn;
using Update = devadevev::LiveTranscriber::Update;
using Sentence = devadevev::LiveTranscriber::Sentence;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Feeds the model's live results by hand and records its requests for task extraction.
class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::apply;
  using LiveModel::insertSession;
  using LiveModel::setLiveID;
  using LiveModel::speaker;

  void extractTasksIfNeeded(const QUuid& id, bool live) override {
    extractions.emplace_back(id, live);
    LiveModel::extractTasksIfNeeded(id, live);
  }

  std::vector<std::pair<QUuid, bool>> extractions;
};

LiveSegment timed(std::optional<double> start, std::optional<double> end) {
  LiveSegment segment;
  segment.text = "文";
  segment.start = start;
  segment.end = end;
  return segment;
}

// A model over a temporary root with one conversation being recorded, as start() leaves it, on a
// hand-driven clock: a pending debounced save shows as a pending sleep.
class LiveResultsTest : public ::testing::Test {
 protected:
  LiveResultsTest() {
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    LiveModelServices services;
    services.clock = clock_;
    model_ = std::make_unique<TestModel>(root_.path(), services);
    QCoreApplication::processEvents();
    VoiceSession live;
    live.title = "録音中";
    id_ = live.id;
    model_->insertSession(0, std::move(live));
    model_->setLiveID(id_);
  }
  ~LiveResultsTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  TestModel& model() { return *model_; }
  const VoiceSession& live() const { return *model_->session(id_); }
  bool saveScheduled() const { return clock_->pendingSleeps() > 0; }
  // Lets the pending save happen and reads the conversation back from its file.
  VoiceSession savedCopy() {
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    return VoiceSession::fromJsonText(
        platform::readFile(SessionStore::inFolder(root_.path()).conversationFile(id_)));
  }

  // Appends one final result per sentence, as the recogniser delivers them.
  void addSegments(const std::vector<LiveSegment>& segments) {
    for (const LiveSegment& segment : segments) {
      Update update;
      update.isFinal = true;
      update.text = segment.text;
      update.sentences = {{segment.text, segment.start, segment.end}};
      model_->apply(update);
    }
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<TestModel> model_;
  QUuid id_;
};

TEST_F(LiveResultsTest, VolatileTextIsTrimmedAndNeverSaved) {
  model().apply(Update{" \t会議\n", 0.5, 1.0, false, {}});
  EXPECT_EQ(model().volatileText(), "会議");
  model().apply(Update{"\u3000 \n", 0.5, 1.5, false, {}});
  EXPECT_EQ(model().volatileText(), "") << "an empty volatile text is taken as well";
  EXPECT_THAT(live().segments, IsEmpty());
  EXPECT_FALSE(saveScheduled());
  EXPECT_THAT(model().extractions, IsEmpty());
}

TEST_F(LiveResultsTest, BlankFinalUpdateClearsTheLiveTextAndAsksForNothing) {
  model().apply(Update{"途中", 0, 1, false, {}});
  model().apply(Update{"  \n ", 0, 1, true, {}});
  EXPECT_EQ(model().volatileText(), "");
  EXPECT_THAT(live().segments, IsEmpty());
  EXPECT_FALSE(saveScheduled());
  EXPECT_THAT(model().extractions, IsEmpty());
}

TEST_F(LiveResultsTest, FinalUpdatesBecomeSentencesWithTheirTimes) {
  struct Case {
    const char* name;
    Update update;
    std::vector<Sentence> expected;  // as stored: text, start, end
  };
  const Case cases[] = {
      {"no sentence list: the trimmed text with the update's times",
       Update{" 今日の議題です\n", 1.25, 2.5, true, {}},
       {{"今日の議題です", 1.25, 2.5}}},
      {"sentences in order with their own times",
       Update{"はい。いいえ。", 3, 5, true, {{"はい。", 3.0, 3.5}, {"いいえ。", 4.0, 5.0}}},
       {{"はい。", 3.0, 3.5}, {"いいえ。", 4.0, 5.0}}},
      {"missing times stay missing",
       Update{"時刻なし。", 6, 7, true, {{"時刻なし。", std::nullopt, std::nullopt}}},
       {{"時刻なし。", std::nullopt, std::nullopt}}},
      {"times that are not finite are stored as none",
       Update{"壊れた時刻。", 8, 9, true, {{"無限。", kInfinity, 9.0}, {"非数。", 8.0, kNaN}}},
       {{"無限。", std::nullopt, 9.0}, {"非数。", 8.0, std::nullopt}}},
      {"update times that are not finite as well",
       Update{"全体", -kInfinity, kNaN, true, {}},
       {{"全体", std::nullopt, std::nullopt}}},
  };
  // Turns cover the whole time line: every sentence with usable times gets speaker 1.
  model().apply(std::vector<Turn>{{1, 0.0, 100.0}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = live().segments.size();
    model().extractions.clear();
    model().apply(c.update);
    EXPECT_EQ(model().volatileText(), "");
    ASSERT_EQ(live().segments.size(), before + c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const LiveSegment& made = live().segments[before + i];
      EXPECT_EQ(made.text, c.expected[i].text);
      EXPECT_EQ(made.start, c.expected[i].start);
      EXPECT_EQ(made.end, c.expected[i].end);
      const bool usable = made.start && made.end;
      EXPECT_EQ(made.speaker, usable ? std::optional<int>(1) : std::nullopt);
      EXPECT_FALSE(made.speakerLocked);
      EXPECT_FALSE(made.edited);
    }
    EXPECT_TRUE(saveScheduled());
    EXPECT_THAT(model().extractions, ElementsAre(Pair(id_, true)));
  }
  // Non-finite times never reach the file, which could not hold them.
  EXPECT_EQ(savedCopy(), live());
}

TEST_F(LiveResultsTest, UpdatesWithoutALiveConversationAreDropped) {
  model().setLiveID(std::nullopt);
  model().apply(Update{"遅れて届いた", 0, 1, false, {}});
  model().apply(Update{"遅れて届いた。", 0, 1, true, {}});
  EXPECT_EQ(model().volatileText(), "");
  EXPECT_THAT(live().segments, IsEmpty());
  EXPECT_FALSE(saveScheduled());
  EXPECT_THAT(model().extractions, IsEmpty());
}

TEST_F(LiveResultsTest, ALiveIDWithoutConversationStillAsksForSaveAndExtraction) {
  const QUuid gone = QUuid::createUuid();
  model().setLiveID(gone);
  model().apply(Update{"行き先なし。", 0, 1, true, {}});
  EXPECT_TRUE(saveScheduled());
  EXPECT_THAT(model().extractions, ElementsAre(Pair(gone, true)));
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  EXPECT_FALSE(fs::exists(SessionStore::inFolder(root_.path()).conversationFile(gone)));
}

TEST(LiveSpeakerTest, LargestTotalOverlapWins) {
  struct Case {
    const char* name;
    LiveSegment segment;
    std::vector<Turn> turns;
    std::optional<int> expected;
  };
  const Case cases[] = {
      {"the longer overlap", timed(1.0, 3.0), {{0, 0.0, 2.0}, {1, 1.5, 4.0}}, 1},
      {"overlaps of one speaker add up", timed(1.0, 3.0), {{0, 1.0, 1.6}, {1, 1.6, 2.4}, {0, 2.4, 3.0}}, 0},
      {"a turn ending at the start does not count", timed(1.0, 3.0), {{0, 0.0, 1.0}}, std::nullopt},
      {"a turn starting at the end does not count", timed(1.0, 3.0), {{2, 3.0, 5.0}, {1, 2.9, 3.0}}, 1},
      {"ties go to the lowest slot", timed(1.0, 3.0), {{3, 1.0, 2.0}, {1, 2.0, 3.0}}, 1},
      {"ties go to the lowest slot in any order", timed(0.0, 2.0), {{2, 0.0, 1.0}, {0, 1.0, 2.0}}, 0},
      {"no turns", timed(1.0, 3.0), {}, std::nullopt},
      {"no start", timed(std::nullopt, 3.0), {{0, 0.0, 4.0}}, std::nullopt},
      {"no end", timed(1.0, std::nullopt), {{0, 0.0, 4.0}}, std::nullopt},
      {"start not before end", timed(3.0, 3.0), {{0, 0.0, 4.0}}, std::nullopt},
      {"reversed sentence", timed(3.0, 1.0), {{0, 0.0, 4.0}}, std::nullopt},
      {"a reversed turn names no one", timed(1.0, 3.0), {{0, 2.5, 1.5}}, std::nullopt},
      {"an empty turn names no one", timed(1.0, 3.0), {{0, 2.0, 2.0}}, std::nullopt},
      {"a reversed turn takes nothing away", timed(1.0, 3.0), {{1, 2.9, 1.5}, {1, 1.0, 1.8}, {0, 2.0, 2.6}}, 1},
      {"NaN turn times are ignored", timed(1.0, 3.0), {{0, kNaN, 2.0}, {1, 1.0, kNaN}, {2, 2.0, 2.5}}, 2},
      {"an endless turn covers the sentence", timed(1.0, 3.0), {{2, -kInfinity, kInfinity}, {1, 1.0, 2.9}}, 2},
      {"negative and large slots are no speakers", timed(1.0, 3.0),
       {{-1, 0.0, 4.0}, {4, 0.0, 4.0}, {std::numeric_limits<int>::max(), 0.0, 4.0}, {3, 2.0, 2.1}}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TestModel::speaker(c.segment, c.turns), c.expected);
  }
}

TEST_F(LiveResultsTest, TurnsRejudgeUnlockedSentencesAndNeverClearASpeaker) {
  addSegments({timed(0.0, 2.0), timed(2.0, 4.0), timed(4.0, 6.0), timed(6.0, 8.0), timed(std::nullopt, std::nullopt)});
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  ASSERT_FALSE(saveScheduled());
  model().setSpeaker(live().segments[1].id, 3);     // locked by hand
  model().updateText(live().segments[2].id, "直した");  // edited, still unlocked
  clock_->advance(LiveModel::kSaveDebounceSeconds);

  model().apply(std::vector<Turn>{{0, 0.0, 8.0}});
  EXPECT_EQ(live().segments[0].speaker, 0);
  EXPECT_EQ(live().segments[1].speaker, 3) << "a locked speaker stays";
  EXPECT_EQ(live().segments[2].speaker, 0) << "an edited sentence follows the turns";
  EXPECT_EQ(live().segments[3].speaker, 0);
  EXPECT_EQ(live().segments[4].speaker, std::nullopt);
  EXPECT_TRUE(saveScheduled());
  clock_->advance(LiveModel::kSaveDebounceSeconds);

  // Refined turns move one sentence and say nothing about the others, which keep theirs.
  model().apply(std::vector<Turn>{{2, 6.5, 8.0}});
  EXPECT_EQ(live().segments[0].speaker, 0);
  EXPECT_EQ(live().segments[3].speaker, 2);
  EXPECT_TRUE(saveScheduled());
  EXPECT_EQ(savedCopy(), live());

  // The same turns again, or turns that name nobody new, change and save nothing.
  model().apply(std::vector<Turn>{{2, 6.5, 8.0}});
  model().apply(std::vector<Turn>{});
  model().apply(std::vector<Turn>{{0, 5.0, 4.0}, {-3, 0.0, 8.0}, {9, 0.0, 8.0}, {1, kNaN, kNaN}});
  EXPECT_FALSE(saveScheduled());
  EXPECT_EQ(live().segments[3].speaker, 2);
}

TEST_F(LiveResultsTest, TurnsAreStoredWhileIdleAndUsedByTheNextSentence) {
  addSegments({timed(0.0, 2.0)});
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  model().setLiveID(std::nullopt);
  model().apply(std::vector<Turn>{{1, 0.0, 10.0}});
  EXPECT_EQ(live().segments[0].speaker, std::nullopt) << "nothing recorded, nothing judged";
  EXPECT_FALSE(saveScheduled());

  // Turns live until the next start empties them; a sentence made meanwhile is judged against them.
  model().setLiveID(id_);
  model().apply(Update{"次の文", 3.0, 4.0, true, {}});
  EXPECT_EQ(live().segments[1].speaker, 1);
}

TEST_F(LiveResultsTest, ASentenceUsesTheTurnsAsTheyStandWhenItArrives) {
  model().apply(std::vector<Turn>{{0, 0.0, 2.0}});
  model().apply(Update{"最初。", 0.5, 1.5, true, {}});
  EXPECT_EQ(live().segments[0].speaker, 0);
  // A later delivery judges it again, with the sentences just added.
  model().apply(std::vector<Turn>{{1, 0.0, 2.0}});
  EXPECT_EQ(live().segments[0].speaker, 1);
}

}  // namespace
}  // namespace veltovoice
