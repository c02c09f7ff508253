#include "app/Editor/TranscriptView.h"

#include <filesystem>
#include <limits>
#include <memory>
#include <span>
#include <stop_token>
#include <set>
#include <string>
#include <vector>

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Editor/MemoBox.h"
#include "app/Editor/SegmentRowHost.h"
#include "app/Editor/SpeakerNamesRow.h"
#include "app/Editor/TopicHeader.h"
#include "app/Editor/TranscriptRowEditor.h"
#include "tests/app/Editor/EditorFixture.h"
#include "tests/app/Editor/TranscriptFixture.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "tests/support/ScriptedSpeechBackend.h"

namespace veltovoice {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::line;
using testing::numbered;
using Kind = TranscriptRowsModel::Kind;
using Region = SegmentRow::Region;

std::set<QUuid> idSet(std::initializer_list<QUuid> ids) { return std::set<QUuid>(ids); }

class TranscriptViewTest : public testing::TranscriptTest {
 protected:
  QString labelText(const char* name) { return view_->findChild<QLabel*>(QString::fromLatin1(name))->text(); }
  void press(const char* button) { view_->findChild<QAbstractButton*>(QString::fromLatin1(button))->click(); }
  bool barShown() { return view_->selectionBar()->isVisible(); }
  bool bannerShown() { return view_->undoBanner()->isVisible(); }
  int scrollValue() { return view_->list()->verticalScrollBar()->value(); }
  void drag(int fromRow, const std::vector<int>& overRows) {
    QTest::mousePress(viewport(), Qt::LeftButton, Qt::NoModifier, at(fromRow, Region::check));
    QPoint last = at(fromRow, Region::check);
    for (int row : overRows) {
      last = at(row, Region::check);
      QTest::mouseMove(viewport(), last);
    }
    QTest::mouseRelease(viewport(), Qt::LeftButton, Qt::NoModifier, last);
  }
};

TEST_F(TranscriptViewTest, EmptyTextsAndLiveLine) {
  const QUuid id = store({});
  TranscriptView& shown = view(id);
  ASSERT_EQ(rows().rowCount(), 1);
  EXPECT_EQ(rows().kind(0), Kind::emptyText);
  EXPECT_EQ(rows().data(rows().index(0)).toString(), QStringLiteral("文字起こしはありません。"));

  live().setLiveID(id);
  EXPECT_TRUE(shown.isLive());
  EXPECT_EQ(rows().data(rows().index(0)).toString(), QStringLiteral("話し始めると、ここに文字が出ます。"));
  live().setVolatileText("本日の");
  ASSERT_EQ(rows().rowCount(), 1);
  EXPECT_EQ(rows().kind(0), Kind::liveLine);
  EXPECT_EQ(rows().data(rows().index(0)).toString(), QStringLiteral("本日の"));
}

TEST_F(TranscriptViewTest, SelectionBarDeletesAndTheBannerUndoes) {
  const QUuid a = store(numbered(5), 1);
  const QUuid b = store(numbered(2), 0);
  view(a);
  const std::vector<QUuid> sentences = ids(a);
  EXPECT_FALSE(barShown());
  for (int row : {0, 2, 3}) clickCheck(row);
  EXPECT_EQ(view_->selected(), idSet({sentences[0], sentences[2], sentences[3]}));
  ASSERT_TRUE(barShown());
  EXPECT_EQ(labelText("selectionCount"), QStringLiteral("3文を選択中"));

  press("deleteSelection");
  EXPECT_THAT(ids(a), ElementsAre(sentences[1], sentences[4]));
  EXPECT_FALSE(barShown());
  ASSERT_TRUE(bannerShown());
  EXPECT_EQ(labelText("deletionCount"), QStringLiteral("3文を削除しました"));

  live().setSelectedID(b);
  EXPECT_FALSE(bannerShown()) << "the banner belongs to its conversation";
  live().setSelectedID(a);
  EXPECT_TRUE(bannerShown());
  clickCheck(0);
  EXPECT_FALSE(bannerShown()) << "hidden while a selection exists";
  press("clearSelection");
  EXPECT_TRUE(bannerShown());

  press("undoDeletion");
  EXPECT_EQ(ids(a), sentences);
  EXPECT_FALSE(bannerShown());
  EXPECT_EQ(rows().segmentIDs(), sentences);

  clickCheck(1);
  press("deleteSelection");
  ASSERT_TRUE(bannerShown());
  view_->findChild<QToolButton*>(QStringLiteral("dismissDeletion"))->click();
  EXPECT_FALSE(live().lastSegmentDeletion());
  EXPECT_FALSE(bannerShown());
}

TEST_F(TranscriptViewTest, SelectAllClearAndAnotherConversationClearsTheSelection) {
  const QUuid a = store(numbered(4), 1);
  const QUuid b = store(numbered(2), 0);
  view(a);
  clickCheck(1);
  press("selectAll");
  EXPECT_EQ(view_->selected().size(), 4u);
  EXPECT_EQ(labelText("selectionCount"), QStringLiteral("4文を選択中"));
  press("clearSelection");
  EXPECT_THAT(view_->selected(), IsEmpty());

  clickCheck(2);
  live().setSelectedID(b);
  EXPECT_THAT(view_->selected(), IsEmpty());
  EXPECT_FALSE(barShown());
}

TEST_F(TranscriptViewTest, SelectionForgetsSentencesThatLeaveTheList) {
  const QUuid id = store(numbered(4));
  view(id);
  const std::vector<QUuid> s = ids(id);
  for (int row : {1, 2, 3}) clickCheck(row);
  live().mergeWithPrevious(s[2]);
  live().deleteSegment(s[3]);
  EXPECT_EQ(view_->selected(), idSet({s[1]}));
  EXPECT_EQ(labelText("selectionCount"), QStringLiteral("1文を選択中"));
  live().deleteSegment(s[1]);
  EXPECT_FALSE(barShown());
}

TEST_F(TranscriptViewTest, ShiftClickFollowsTheAnchor) {
  struct Case {
    const char* name;
    std::vector<int> selectedBefore;
    std::vector<std::pair<int, bool>> clicks;  // row, with Shift
    std::vector<int> expected;
    int anchor;
  };
  const Case cases[] = {
      {"no anchor: Shift toggles one row and anchors it", {}, {{3, true}}, {3}, 3},
      {"selected anchor adds the range", {}, {{1, false}, {4, true}}, {1, 2, 3, 4}, 4},
      {"upwards as well", {}, {{4, false}, {2, true}}, {2, 3, 4}, 2},
      {"anchor not selected removes the range, also rows selected before",
       {0, 2, 3, 5},
       {{1, false}, {1, false}, {4, true}},
       {0, 5},
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    const QUuid id = store(numbered(6));
    view(id);
    const std::vector<QUuid> sentences = ids(id);
    for (int row : c.selectedBefore) clickCheck(row);
    for (const auto& [row, shift] : c.clicks) clickCheck(row, shift ? Qt::ShiftModifier : Qt::NoModifier);
    std::set<QUuid> expected;
    for (int row : c.expected) expected.insert(sentences[static_cast<std::size_t>(row)]);
    EXPECT_EQ(view_->selected(), expected);
    EXPECT_EQ(view_->lastClicked(), sentences[static_cast<std::size_t>(c.anchor)]);
  }
}

TEST_F(TranscriptViewTest, DragOverCheckBoxesSelectsOrDeselectsAndRestoresWhatItLeaves) {
  const QUuid id = store(numbered(6));
  view(id);
  const std::vector<QUuid> s = ids(id);

  drag(1, {2, 3});
  EXPECT_EQ(view_->selected(), idSet({s[1], s[2], s[3]})) << "a drag from an unselected box selects";
  EXPECT_EQ(view_->lastClicked(), s[1]);

  clickCheck(5);
  // From a selected box the drag deselects; moving back over row 4 gives it back its state.
  QTest::mousePress(viewport(), Qt::LeftButton, Qt::NoModifier, at(2, Region::check));
  QTest::mouseMove(viewport(), at(4, Region::check));
  QTest::mouseMove(viewport(), at(5, Region::check));
  EXPECT_EQ(view_->selected(), idSet({s[1]}));
  QTest::mouseMove(viewport(), at(3, Region::check));
  EXPECT_EQ(view_->selected(), idSet({s[1], s[5]}));
  QTest::mouseRelease(viewport(), Qt::LeftButton, Qt::NoModifier, at(3, Region::check));
  EXPECT_EQ(view_->lastClicked(), s[2]) << "the drag's origin becomes the anchor";
}

TEST_F(TranscriptViewTest, ArrowsMoveTheCaretBetweenRows) {
  const QUuid id = store({line("一行目"), line("二行目"), line("三行目")});
  view(id);
  const std::vector<QUuid> s = ids(id);
  SegmentTextEdit* editor = editRow(0);
  ASSERT_NE(editor, nullptr);

  QTest::keyClick(editor, Qt::Key_Up);
  testsupport::settleEvents();
  EXPECT_EQ(view_->editing(), s[0]) << "up from the first row stays";

  editor->moveCursor(QTextCursor::End);
  QTest::keyClick(editor, Qt::Key_Down);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return view_->editing() == s[1] && view_->sentenceEditor(); }));
  editor = view_->sentenceEditor();
  EXPECT_EQ(editor->toPlainText(), QStringLiteral("二行目"));
  EXPECT_EQ(editor->textCursor().position(), 0) << "the start of the row below";
  EXPECT_FALSE(view_->request()) << "the request ends when the row has the focus";

  QTest::keyClick(editor, Qt::Key_Up);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return view_->editing() == s[0] && view_->sentenceEditor(); }));
  EXPECT_EQ(view_->sentenceEditor()->textCursor().position(), 3) << "the end of the row above";

  editRow(2);
  QTest::keyClick(view_->sentenceEditor(), Qt::Key_Down);
  testsupport::settleEvents();
  EXPECT_EQ(view_->editing(), s[2]) << "down from the last row stays";
}

TEST_F(TranscriptViewTest, BackspaceAtTheStartJoinsAndPutsTheCaretAtTheSeam) {
  const QUuid id = store({line("はい"), line("そうです")});
  view(id);
  const std::vector<QUuid> s = ids(id);
  SegmentTextEdit* editor = editRow(1);
  editor->moveCursor(QTextCursor::Start);
  QTest::keyClick(editor, Qt::Key_Backspace);
  ASSERT_TRUE(testsupport::processEventsUntil([&] {
    return view_->editing() == s[0] && view_->sentenceEditor() && view_->sentenceEditor()->hasFocus();
  }));
  EXPECT_THAT(ids(id), ElementsAre(s[0]));
  EXPECT_EQ(view_->sentenceEditor()->toPlainText(), QStringLiteral("はいそうです"));
  EXPECT_EQ(view_->sentenceEditor()->textCursor().position(), 2);
}

TEST_F(TranscriptViewTest, RowLeftBlankIsDeletedAndAnyOtherCharacterKeepsIt) {
  struct Case {
    const char* name;
    QString typed;
    bool kept;
  };
  const Case cases[] = {
      {"spaces and line breaks", QStringLiteral(" \n\u3000"), false},
      {"one character", QStringLiteral(" 。"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    const QUuid id = store({line("前"), line("消す文"), line("後")});
    view(id);
    const QUuid edited = ids(id)[1];
    SegmentTextEdit* editor = editRow(1);
    editor->selectAll();
    QTest::keyClick(editor, Qt::Key_Delete);
    testing::typeText(editor, c.typed);
    QTest::keyClick(editor, Qt::Key_Escape);
    testsupport::settleEvents();
    EXPECT_FALSE(view_->editing());
    EXPECT_EQ(live().session(id)->segments.size(), c.kept ? 3u : 2u);
    EXPECT_EQ(rows().rowOf(edited).has_value(), c.kept);
  }
}

TEST_F(TranscriptViewTest, PlayingSentenceFollowsThePlayer) {
  const QUuid id = store({line("一", 1.0), line("無し"), line("二", 2.1), line("三", 2.3), line("四", 5)});
  view(id);
  const std::vector<QUuid> s = ids(id);
  EXPECT_FALSE(view_->playingID()) << "nothing loaded";
  player().load(recording(6));
  ASSERT_TRUE(player().loaded());
  EXPECT_FALSE(view_->playingID()) << "at position 0";

  struct Case {
    double position;
    std::optional<QUuid> expected;
  };
  const Case cases[] = {{0.5, std::nullopt}, {0.8, s[0]}, {2.0, s[2]}, {2.1, s[3]}, {5.9, s[4]}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    player().seek(c.position, false);
    EXPECT_EQ(view_->playingID(), c.expected);
  }

  live().setLiveID(id);
  EXPECT_FALSE(view_->playingID()) << "not while recording";
}

TEST_F(TranscriptViewTest, ClickingATimePlaysFromThere) {
  const QUuid id = store({line("一", 1.0), line("二", 2.5), line("無し")});
  view(id);
  EXPECT_FALSE(view_->rowAt(1).timeEnabled()) << "nothing to play";
  player().load(recording(6));
  ASSERT_TRUE(view_->rowAt(1).timeEnabled());
  QTest::mouseClick(viewport(), Qt::LeftButton, Qt::NoModifier, at(1, Region::time));
  EXPECT_DOUBLE_EQ(player().position(), 2.5);
  EXPECT_TRUE(player().isPlaying());
  player().pause();
  EXPECT_FALSE(view_->rowAt(2).timeEnabled()) << "a sentence without a start has no time to play";
  live().setLiveID(id);
  EXPECT_FALSE(view_->rowAt(1).timeEnabled()) << "not while recording";
}

TEST_F(TranscriptViewTest, LiveSentencesAndPlaybackScrollOnlyWhileNothingIsEdited) {
  const QUuid id = store(numbered(40));
  view(id, 400);
  live().setLiveID(id);
  hear({"新しい文"}, 50);
  testsupport::settleEvents();
  const QScrollBar* bar = view_->list()->verticalScrollBar();
  EXPECT_EQ(scrollValue(), bar->maximum()) << "a live sentence scrolls to the end";

  view_->list()->verticalScrollBar()->setValue(0);
  SegmentTextEdit* editor = editRow(1);
  testing::typeText(editor, QStringLiteral("あい"));
  const int caret = editor->textCursor().position();
  const QString text = editor->toPlainText();
  hear({"さらに", "もう一つ"}, 60);
  live().setVolatileText("途中");
  testsupport::settleEvents();
  EXPECT_EQ(scrollValue(), 0) << "live results do not move an edited list";
  ASSERT_EQ(view_->sentenceEditor(), editor);
  EXPECT_TRUE(editor->hasFocus());
  EXPECT_EQ(editor->toPlainText(), text);
  EXPECT_EQ(editor->textCursor().position(), caret);

  live().setLiveID(std::nullopt);
  player().load(recording(45));
  player().seek(30, false);
  testsupport::settleEvents();
  EXPECT_EQ(scrollValue(), 0) << "playback does not move an edited list";

  const QUuid target = ids(id)[25];
  live().setScrollRequest(target);
  testsupport::settleEvents();
  EXPECT_FALSE(live().scrollRequest()) << "the request is done";
  EXPECT_EQ(view_->list()->indexAt(QPoint(5, 1)).row(), 25) << "the requested sentence stands at the top";
  EXPECT_TRUE(editor->hasFocus());
}

TEST_F(TranscriptViewTest, PlaybackScrollsThePlayedSentenceToTheMiddle) {
  const QUuid id = store(numbered(60));
  view(id, 400);
  player().load(recording(70));
  player().seek(40.05, false);
  testsupport::settleEvents();
  const QRect played = view_->sentenceRect(40);
  const int middle = viewport()->height() / 2;
  EXPECT_LE(played.top(), middle);
  EXPECT_GE(played.bottom(), middle);
}

TEST_F(TranscriptViewTest, SpeakerNamesShowOnlyWithSpeakers) {
  const QUuid none = store({line("a")}, 1);
  const QUuid two = store({line("a", 0, 0), line("b", 1, 1)}, 0);
  view(none);
  EXPECT_EQ(view_->speakerNames(), nullptr);
  live().setSpeaker(ids(none)[0], 2);
  ASSERT_NE(view_->speakerNames(), nullptr);
  EXPECT_THAT(view_->speakerNames()->shownSlots(), ElementsAre(2));
  live().setSelectedID(two);
  ASSERT_NE(view_->speakerNames(), nullptr);
  EXPECT_THAT(view_->speakerNames()->shownSlots(), ElementsAre(0, 1));
  EXPECT_EQ(view_->memoBox()->sessionID(), two);
}

TEST_F(TranscriptViewTest, SelectionKeysActOnlyWhileTheBarShowsAndTheEditorKeepsItsOwn) {
  const QUuid id = store(numbered(4));
  view(id);
  const std::vector<QUuid> s = ids(id);
  // A button's key clicks it with a press of 100 ms: wait longer than that before looking.
  QTest::keyClick(window_.get(), Qt::Key_Backspace, Qt::ControlModifier);
  QTest::qWait(250);
  EXPECT_EQ(ids(id).size(), 4u) << "no bar, no deletion";

  clickCheck(0);
  clickCheck(1);
  SegmentTextEdit* editor = editRow(3);
  QTest::keyClick(editor, Qt::Key_Escape);
  QTest::qWait(250);
  EXPECT_FALSE(view_->editing()) << "Escape ends the editing";
  EXPECT_EQ(view_->selected().size(), 2u) << "and leaves the selection";

  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_TRUE(testsupport::processEventsUntil([&] { return view_->selected().empty(); }));
  clickCheck(2);
  QTest::keyClick(window_.get(), Qt::Key_Backspace, Qt::ControlModifier);
  EXPECT_TRUE(testsupport::processEventsUntil([&] { return ids(id).size() == 3; }));
  EXPECT_THAT(ids(id), ElementsAre(s[0], s[1], s[3]));
}

TEST_F(TranscriptViewTest, TopicTitleIsEditedInPlace) {
  const QUuid id = store({line("前", 0), line("本題", 65)});
  const std::vector<QUuid> s = ids(id);
  live().addTopic(id, s[1]);
  view(id);
  const QRect heading = view_->headingRect(1);
  ASSERT_FALSE(heading.isEmpty());
  QTest::mouseClick(viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(heading.left() + 40, heading.center().y() + 5));
  ASSERT_NE(view_->rowEditor(), nullptr);
  QLineEdit* field = view_->rowEditor()->header()->titleField();
  ASSERT_NE(field, nullptr);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return field->hasFocus(); }));
  field->selectAll();
  QTest::keyClicks(field, "Budget");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(live().session(id)->topics->front().title, "Budget");
  EXPECT_EQ(rows().heading(1)->title, QStringLiteral("Budget"));
}

// A diarizer that never finds a speaker.
class SilentDiarizer : public devadevev::SpeakerDiarizer {
 public:
  void prepare(const std::filesystem::path&, TurnsHandler, std::stop_token) override {}
  void append(std::span<const float>, double) override {}
  void finish() override {}
  void cancel() override {}
};

// A real recording: a generated input of spoken bursts, the live recogniser with the scripted
// speech backend, the recording writer and the store.
class TranscriptRecordingTest : public testing::TranscriptTest {
 protected:
  static constexpr double kRate = 16000;

  void useBursts(const std::vector<double>& starts, double seconds) {
    samples_ = std::make_shared<std::vector<float>>(testsupport::bursts(kRate, seconds, starts));
  }

  testing::TranscriptModel& recordingModel() {
    if (!live_) {
      LiveModelServices services;
      services.clock = clock_;
      services.microphoneAuthorized = [] { return true; };
      services.makeTranscriber = [samples = samples_] {
        platform::PacedAudioInput::Pacing pacing;
        pacing.speed = 8;
        auto input = std::make_unique<platform::GeneratorAudioInput>(
            kRate, 1, static_cast<std::int64_t>(samples->size()),
            [samples](std::int64_t frame, std::uint32_t) { return (*samples)[static_cast<std::size_t>(frame)]; },
            pacing);
        return std::make_unique<devadevev::LiveTranscriber>(std::make_unique<platform::AudioEngine>(std::move(input)));
      };
      services.makeDiarizer = [] { return std::make_unique<SilentDiarizer>(); };
      live_ = std::make_unique<testing::TranscriptModel>(root_.path(), services);
    }
    return *live_;
  }

  std::shared_ptr<std::vector<float>> samples_;
  std::vector<std::string> script_ = {"一つめの文です。", "二つめの文です。", "三つめの文です。", "四つめの文です。",
                                      "五つめの文です。", "六つめの文です。", "七つめの文です。", "八つめの文です。"};
  testsupport::ScriptedSpeechBackend::Installation backend_{
      std::make_shared<testsupport::ScriptedSpeechBackend>(script_)};
};

TEST_F(TranscriptRecordingTest, RecordedSentencesFillTheListWhichKeepsItsEnd) {
  useBursts({0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5}, 9);
  const QUuid older = store(numbered(3));
  recordingModel();
  view(older, 260);
  QCoro::waitFor(live().start());
  ASSERT_EQ(live().phase(), LiveModel::Phase::recording);
  const QUuid id = *live().liveID();
  EXPECT_EQ(view_->sessionID(), id) << "the new recording is shown";
  EXPECT_TRUE(view_->isLive());

  ASSERT_TRUE(testsupport::processEventsUntil([&] { return rows().sentenceCount() == 8; }));
  testsupport::settleEvents();
  std::vector<std::string> texts;
  for (int row = 0; row < rows().sentenceCount(); ++row) texts.push_back(rows().segment(row).text);
  EXPECT_EQ(texts, script_);
  EXPECT_EQ(rows().segmentIDs(), ids(id));
  const QScrollBar* bar = view_->list()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  QCoro::waitFor(live().stop());
  EXPECT_FALSE(view_->isLive());
}

// ---- Bad input ----------------------------------------------------------------------------------

TEST_F(TranscriptViewTest, TenThousandSentencesShowScrollAndEdit) {
  const QUuid id = store(numbered(10000));
  view(id, 400);
  ASSERT_EQ(rows().sentenceCount(), 10000);
  live().setScrollRequest(ids(id)[9990]);
  testsupport::settleEvents();
  EXPECT_EQ(view_->list()->indexAt(QPoint(5, 1)).row(), 9990);
  SegmentTextEdit* editor = editRow(9991);
  ASSERT_NE(editor, nullptr);
  editor->moveCursor(QTextCursor::Start);
  testing::typeText(editor, QStringLiteral("追記"));
  EXPECT_EQ(live().session(id)->segments[9991].text, "追記文 9991");
}

TEST_F(TranscriptViewTest, ShownConversationDeletedWhileEditingClosesTheEditor) {
  const QUuid gone = store(numbered(3), 1);
  const QUuid other = store(numbered(2), 0);
  view(gone);
  SegmentTextEdit* editor = editRow(1);
  ASSERT_NE(editor, nullptr);
  live().deleteSession(gone);
  testsupport::settleEvents();
  EXPECT_EQ(view_->sentenceEditor(), nullptr);
  EXPECT_FALSE(view_->editing());
  EXPECT_EQ(view_->sessionID(), other);
  EXPECT_EQ(rows().sentenceCount(), 2);
}

TEST_F(TranscriptViewTest, FocusRequestForAVanishedSentenceIsHarmless) {
  const QUuid id = store(numbered(3));
  view(id);
  const std::vector<QUuid> s = ids(id);
  SegmentTextEdit* editor = editRow(0);
  editor->moveCursor(QTextCursor::End);
  QTest::keyClick(editor, Qt::Key_Down);
  ASSERT_TRUE(view_->request());
  // The sentence goes before its editor takes the focus.
  live().deleteSegment(s[1]);
  testsupport::settleEvents();
  EXPECT_EQ(rows().rowOf(s[1]), std::nullopt);
  clickCheck(1);
  EXPECT_EQ(view_->selected(), idSet({s[2]}));
}

TEST_F(TranscriptViewTest, SentencesWithoutStartShowNoTimeAndNeverPlay) {
  const QUuid id = store({line("無し"), line("無し")});
  view(id);
  player().load(recording(3));
  player().seek(1.5, false);
  EXPECT_FALSE(view_->playingID());
  EXPECT_EQ(view_->rowAt(0).timeText(), QStringLiteral("—"));
}

}  // namespace
}  // namespace veltovoice
