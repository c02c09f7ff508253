#include "app/Editor/TranscriptRowsModel.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractItemModelTester>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/app/Editor/TranscriptFixture.h"

namespace veltovoice {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::line;
using testing::numbered;
using Kind = TranscriptRowsModel::Kind;

// The row signals of a model as short lines: "insert 3-4", "remove 1-1", "change 0-2", "reset".
class SignalLog {
 public:
  explicit SignalLog(TranscriptRowsModel& rows) {
    QObject::connect(&rows, &QAbstractItemModel::rowsInserted, &rows,
                     [this](const QModelIndex&, int first, int last) { add("insert", first, last); });
    QObject::connect(&rows, &QAbstractItemModel::rowsRemoved, &rows,
                     [this](const QModelIndex&, int first, int last) { add("remove", first, last); });
    QObject::connect(&rows, &QAbstractItemModel::dataChanged, &rows,
                     [this](const QModelIndex& from, const QModelIndex& to) { add("change", from.row(), to.row()); });
    QObject::connect(&rows, &QAbstractItemModel::modelReset, &rows, [this] { lines.push_back("reset"); });
  }
  std::vector<std::string> lines;

 private:
  void add(const char* what, int first, int last) {
    lines.push_back(std::string(what) + " " + std::to_string(first) + "-" + std::to_string(last));
  }
};

class TranscriptRowsModelTest : public testing::TranscriptTest {
 protected:
  // Rows of conversation `id`, checked by the item model tester throughout.
  TranscriptRowsModel& rowsOf(const QUuid& id) {
    rows_ = std::make_unique<TranscriptRowsModel>(live());
    tester_ = std::make_unique<QAbstractItemModelTester>(rows_.get(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    rows_->setSessionID(id);
    return *rows_;
  }

  std::vector<QUuid> rowIDs() const { return rows_->segmentIDs(); }

  void TearDown() override {
    tester_.reset();
    rows_.reset();
    TranscriptTest::TearDown();
  }

  std::unique_ptr<TranscriptRowsModel> rows_;
  std::unique_ptr<QAbstractItemModelTester> tester_;
};

TEST_F(TranscriptRowsModelTest, FollowsEditsWithTheFewestRowSignals) {
  struct Case {
    const char* name;
    std::function<void(testing::TranscriptModel&, const QUuid& session, const std::vector<QUuid>& ids)> edit;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a text change is one changed row",
       [](auto& live, auto&, auto& ids) { live.updateText(ids[2], "直した"); },
       {"change 2-2"}},
      {"a single removal is one removed row",
       [](auto& live, auto&, auto& ids) { live.deleteSegment(ids[1]); },
       {"remove 1-1"}},
      {"a join removes the row and changes the one before",
       [](auto& live, auto&, auto& ids) { live.mergeWithPrevious(ids[3]); },
       {"remove 3-3", "change 2-2"}},
      {"removing scattered rows removes each run, from the end",
       [](auto& live, auto& session, auto& ids) { live.deleteSegments(session, {ids[0], ids[1], ids[3]}); },
       {"remove 3-3", "remove 0-1"}},
      {"undoing scattered removals inserts each run, from the start",
       [](auto& live, auto& session, auto& ids) {
         live.deleteSegments(session, {ids[0], ids[2], ids[4]});
         live.undoSegmentDeletion();
       },
       {"remove 4-4", "remove 2-2", "remove 0-0", "insert 0-0", "insert 2-2", "insert 4-4"}},
      {"a speaker change also changes the next row's gap",
       [](auto& live, auto&, auto& ids) { live.setSpeaker(ids[1], 1); },
       {"change 1-2"}},
      {"a renamed speaker changes every row",
       [](auto& live, auto& session, auto&) { live.renameSpeaker(session, 0, "森"); },
       {"change 0-4"}},
      {"a topic start changes its row only",
       [](auto& live, auto& session, auto& ids) { live.addTopic(session, ids[2]); },
       {"change 2-2"}},
      {"the same text signals nothing",
       [](auto& live, auto&, auto& ids) { live.updateText(ids[0], "文 0"); },
       {}},
  };
  std::vector<QUuid> sessions;
  for (std::size_t i = 0; i < std::size(cases); ++i) sessions.push_back(store(numbered(5), double(i)));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    TranscriptRowsModel& rows = rowsOf(sessions[i]);
    SignalLog log(rows);
    c.edit(live(), sessions[i], ids(sessions[i]));
    EXPECT_THAT(log.lines, ElementsAreArray(c.expected));
    EXPECT_EQ(rowIDs(), ids(sessions[i]));
    for (int row = 0; row < rows.sentenceCount(); ++row) {
      EXPECT_EQ(rows.segment(row), live().session(sessions[i])->segments[static_cast<std::size_t>(row)]);
    }
  }
}

TEST_F(TranscriptRowsModelTest, LiveSentencesAreAppendedAndTheLiveLineFollows) {
  const QUuid id = store({line("最初")});
  TranscriptRowsModel& rows = rowsOf(id);
  live().setLiveID(id);
  SignalLog log(rows);
  live().setVolatileText("途中");
  ASSERT_EQ(rows.rowCount(), 2);
  EXPECT_EQ(rows.kind(1), Kind::liveLine);
  EXPECT_EQ(rows.data(rows.index(1)).toString(), QStringLiteral("途中"));
  live().setVolatileText("途中まで");
  hear({"次の文", "その次"}, 3);

  EXPECT_THAT(log.lines, ElementsAre("insert 1-1", "change 1-1", "remove 1-1", "insert 1-1", "insert 2-2"));
  EXPECT_EQ(rows.rowCount(), 3);
  EXPECT_EQ(rows.kind(2), Kind::sentence);
}

TEST_F(TranscriptRowsModelTest, EmptyTextFollowsRecordingAndLiveText) {
  const QUuid id = store({});
  TranscriptRowsModel& rows = rowsOf(id);
  ASSERT_EQ(rows.rowCount(), 1);
  EXPECT_EQ(rows.data(rows.index(0)).toString(), QStringLiteral("文字起こしはありません。"));

  live().setLiveID(id);
  EXPECT_EQ(rows.data(rows.index(0)).toString(), QStringLiteral("話し始めると、ここに文字が出ます。"));
  live().setVolatileText("えっと");
  ASSERT_EQ(rows.rowCount(), 1);
  EXPECT_EQ(rows.kind(0), Kind::liveLine) << "the live line stands instead of the empty text";
  hear({"えっと、始めます"});
  ASSERT_EQ(rows.rowCount(), 1);
  EXPECT_EQ(rows.kind(0), Kind::sentence);
}

TEST_F(TranscriptRowsModelTest, SpeakerChangeTreatsNoSpeakerAsASpeakerOfItsOwn) {
  const QUuid id = store({line("a", 0, 1), line("b", 1, 1), line("c", 2), line("d", 3), line("e", 4, 2),
                          line("f", 5, 1)});
  TranscriptRowsModel& rows = rowsOf(id);
  std::vector<bool> changed;
  for (int row = 0; row < rows.sentenceCount(); ++row) changed.push_back(rows.speakerChanged(row));
  EXPECT_THAT(changed, ElementsAre(false, false, true, false, true, true));
}

TEST_F(TranscriptRowsModelTest, HeadingIsTheFirstTopicStartingAtTheSentence) {
  const QUuid id = store(numbered(3));
  const std::vector<QUuid> sentences = ids(id);
  TranscriptRowsModel& rows = rowsOf(id);
  const QUuid first = live().addTopic(id, sentences[1]);
  live().renameTopic(id, first, "予算");
  ASSERT_TRUE(rows.heading(1));
  EXPECT_EQ(rows.heading(1)->title, QStringLiteral("予算"));
  EXPECT_FALSE(rows.heading(0));
  EXPECT_FALSE(rows.heading(2));
  live().deleteTopic(id, first);
  EXPECT_FALSE(rows.heading(1));
}

TEST_F(TranscriptRowsModelTest, DuplicateIdsAreShownAndEditedWithoutHarm) {
  LiveSegment twin = line("二重", 1);
  LiveSegment copy = twin;
  copy.text = "二重の写し";
  const QUuid id = store({line("前", 0), twin, copy, line("後", 3)});
  TranscriptRowsModel& rows = rowsOf(id);
  ASSERT_EQ(rows.sentenceCount(), 4);
  EXPECT_EQ(rows.rowOf(twin.id), 1);

  live().updateText(twin.id, "一つめ");
  live().deleteSegment(twin.id);
  live().mergeWithPrevious(twin.id);
  EXPECT_EQ(rowIDs(), ids(id));
}

TEST_F(TranscriptRowsModelTest, ConversationDeletedLeavesNoRows) {
  const QUuid gone = store(numbered(3), 1);
  store(numbered(1), 0);
  TranscriptRowsModel& rows = rowsOf(gone);
  live().deleteSession(gone);
  EXPECT_EQ(rows.rowCount(), 0);
}

}  // namespace
}  // namespace veltovoice
