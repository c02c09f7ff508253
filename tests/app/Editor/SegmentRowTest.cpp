#include "app/Editor/SegmentRow.h"

#include <optional>
#include <vector>

#include <QApplication>
#include <QHelpEvent>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QTextBlock>
#include <QTextLayout>
#include <QTest>
#include <QToolTip>
#include <gtest/gtest.h>

#include "app/Editor/SegmentRowHost.h"
#include "app/Editor/SegmentTextEdit.h"
#include "app/Editor/SpeakerPalette.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "tests/app/Editor/EditorFixture.h"

namespace veltovoice {
namespace {

using testing::sentence;

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

QStringList actionTexts(const QMenu& menu) {
  QStringList texts;
  for (QAction* action : menu.actions()) texts << (action->isSeparator() ? QStringLiteral("—") : action->text());
  return texts;
}

QAction* actionNamed(const QMenu& menu, const QString& text) {
  for (QAction* action : menu.actions()) {
    if (action->text() == text) return action;
  }
  ADD_FAILURE() << "no action " << text.toStdString();
  return nullptr;
}

// The row painted alone on the window's background.
QImage painted(const SegmentRow& row, int width) {
  QImage image(width, row.heightForWidth(width), QImage::Format_ARGB32_Premultiplied);
  image.fill(VeltoToolsDesign::background());
  QPainter painter(&image);
  row.paint(painter, image.rect());
  return image;
}

// What the calls of a row's functions recorded.
struct Calls {
  std::vector<bool> checks;
  int times = 0;
  int merges = 0;
};

class SegmentRowTest : public testing::EditorWidgetTest {
 protected:
  // A row of sentence `index` of the conversation, recording its calls in `calls_`.
  SegmentRow row(const QUuid& sessionID, std::size_t index, bool selected = false, bool playing = false,
                 bool speakerChanged = false, bool playable = true,
                 std::optional<int> focusOffset = std::nullopt) {
    const VoiceSession& s = session(sessionID);
    std::function<void()> onTime;
    if (playable) onTime = [this] { ++calls_.times; };
    return SegmentRow(*live_, s, s.segments.at(index), selected, [this](bool shift) { calls_.checks.push_back(shift); },
                      speakerChanged, playing, focusOffset, onTime, {}, {}, {}, [this] { ++calls_.merges; });
  }

  // A host showing `row` in the window, as wide as the window.
  SegmentRowHost& host(SegmentRow shown) {
    if (!host_) {
      host_ = new SegmentRowHost(&window());
      host_->move(0, 0);
      host_->resize(window().width(), 10);
      host_->show();
    }
    host_->setRow(std::move(shown));
    return *host_;
  }

  QPoint centre(SegmentRow::Region region) const {
    return host_->row()->regionRect(region, host_->rect()).center();
  }

  Calls calls_;
  SegmentRowHost* host_ = nullptr;
};

TEST_F(SegmentRowTest, ShowsTimeSpeakerAndBackgroundAsTheSentenceAndRowStateSay) {
  VoiceSession conversation;
  conversation.segments = {sentence("始めます", 65.4, 0), sentence("時刻なし", std::nullopt, 1),
                           sentence("話者なし", 3.0), sentence("六人目", 9.0, 5)};
  conversation.speakerNames = {{0, "  佐藤\t"}};
  const QUuid id = conversation.id;
  load({conversation});

  struct Case {
    const char* name;
    std::size_t index;
    bool playable;
    bool selected;
    bool playing;
    const char* time;
    bool timeEnabled;
    const char* timeHelp;
    const char* speaker;
    QColor colour;
    QColor background;
  };
  const QColor accent = VeltoToolsDesign::accent();
  const QColor muted = VeltoToolsDesign::muted();
  const Case cases[] = {
      {"named speaker, playable", 0, true, false, false, "01:05", true, "ここから再生", "佐藤",
       SpeakerPalette::colors()[0], Qt::transparent},
      {"no start: dash and disabled although playable", 1, true, false, false, "—", false, "ここから再生",
       "話者B", SpeakerPalette::colors()[1], Qt::transparent},
      {"recording or nothing loaded: muted and not clickable", 0, false, false, false, "01:05", false, "",
       "佐藤", SpeakerPalette::colors()[0], Qt::transparent},
      {"no speaker", 2, true, false, false, "00:03", true, "ここから再生", "話者？", muted, Qt::transparent},
      {"slot 5 in the second colour", 3, true, false, false, "00:09", true, "ここから再生", "話者6",
       SpeakerPalette::colors()[1], Qt::transparent},
      {"selected", 0, true, true, false, "01:05", true, "ここから再生", "佐藤", SpeakerPalette::colors()[0],
       withAlpha(accent, 0.14)},
      {"playing", 0, true, false, true, "01:05", true, "ここから再生", "佐藤", SpeakerPalette::colors()[0],
       withAlpha(accent, 0.08)},
      {"selected and playing shows the selection", 0, true, true, true, "01:05", true, "ここから再生", "佐藤",
       SpeakerPalette::colors()[0], withAlpha(accent, 0.14)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SegmentRow r = row(id, c.index, c.selected, c.playing, false, c.playable);
    EXPECT_EQ(r.timeText(), QString::fromUtf8(c.time));
    EXPECT_EQ(r.timeEnabled(), c.timeEnabled);
    EXPECT_EQ(r.toolTip(SegmentRow::Region::time), QString::fromUtf8(c.timeHelp));
    EXPECT_EQ(r.speakerLabel(), QString::fromUtf8(c.speaker));
    EXPECT_EQ(r.speakerColor(), c.colour);
    EXPECT_EQ(r.backgroundColor().rgba(), c.background.rgba());
    EXPECT_EQ(r.toolTip(SegmentRow::Region::speaker), "推定した話者（押して直せます）");
    EXPECT_EQ(r.toolTip(SegmentRow::Region::check),
              "クリックで選択。上下にドラッグでまとめて選択、Shift+クリックで範囲を選択");
  }
}

TEST_F(SegmentRowTest, PaintsTheSpeakerBarStrongWithASpeakerAndFaintWithout) {
  VoiceSession conversation;
  conversation.segments = {sentence("はい", 1.0, 2), sentence("ええ", 2.0)};
  const QUuid id = conversation.id;
  load({conversation});
  struct Case {
    const char* name;
    std::size_t index;
    QColor colour;
    double alpha;
  };
  const Case cases[] = {{"speaker at 90 %", 0, SpeakerPalette::colors()[2], 0.9},
                        {"no speaker at 30 %", 1, VeltoToolsDesign::muted(), 0.3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SegmentRow r = row(id, c.index);
    const QImage image = painted(r, 600);
    // The bar is 3 px wide between the check box and the time; its middle column is solid.
    const QRect time = r.regionRect(SegmentRow::Region::time, image.rect());
    const QColor pixel = image.pixelColor(time.left() - 10 - 2, image.height() / 2);
    const QColor base = VeltoToolsDesign::background();
    const double a = c.colour.alphaF() * c.alpha;
    const auto expected = [&](double top, double bottom) { return (top * a + bottom * (1 - a)) * 255; };
    EXPECT_NEAR(pixel.red(), expected(c.colour.redF(), base.redF()), 2);
    EXPECT_NEAR(pixel.green(), expected(c.colour.greenF(), base.greenF()), 2);
    EXPECT_NEAR(pixel.blue(), expected(c.colour.blueF(), base.blueF()), 2);
  }
}

TEST_F(SegmentRowTest, OnlyAChangeOfSpeakerOpensAGapAbove) {
  VoiceSession conversation;
  conversation.segments = {sentence("はい", 1.0, 0)};
  const QUuid id = conversation.id;
  load({conversation});
  const SegmentRow first = row(id, 0, false, false, false);
  const SegmentRow changed = row(id, 0, false, false, true);
  EXPECT_EQ(changed.heightForWidth(600) - first.heightForWidth(600), SegmentRow::kSpeakerGap);
  EXPECT_EQ(changed.regionRect(SegmentRow::Region::check, QRect(0, 0, 600, 100)).top() -
                first.regionRect(SegmentRow::Region::check, QRect(0, 0, 600, 100)).top(),
            SegmentRow::kSpeakerGap);
  // The first row's top is painted: nothing above it stays empty.
  const QImage image = painted(row(id, 0, true), 600);
  EXPECT_NE(image.pixelColor(300, 1), VeltoToolsDesign::background());
}

TEST_F(SegmentRowTest, CheckBoxAndTimeClicksReachTheRowsFunctions) {
  VoiceSession conversation;
  conversation.segments = {sentence("はい", 1.0, 0), sentence("時刻なし")};
  const QUuid id = conversation.id;
  load({conversation});

  SegmentRowHost& shown = host(row(id, 0));
  QTest::mouseClick(&shown, Qt::LeftButton, Qt::ShiftModifier, centre(SegmentRow::Region::check));
  QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(SegmentRow::Region::check));
  EXPECT_EQ(calls_.checks, (std::vector<bool>{true, false}));
  QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(SegmentRow::Region::time));
  EXPECT_EQ(calls_.times, 1);

  struct Case {
    const char* name;
    std::size_t index;
    bool playable;
  };
  for (const Case& c : {Case{"no start", 1, true}, Case{"nothing to play", 0, false}}) {
    SCOPED_TRACE(c.name);
    host(row(id, c.index, false, false, false, c.playable));
    QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(SegmentRow::Region::time));
    EXPECT_EQ(calls_.times, 1);
  }
}

TEST_F(SegmentRowTest, HelpTextFollowsThePartUnderThePointer) {
  VoiceSession conversation;
  LiveSegment corrected = sentence("直した文", 1.0, 0);
  corrected.edited = true;
  conversation.segments = {corrected};
  const QUuid id = conversation.id;
  load({conversation});
  SegmentRowHost& shown = host(row(id, 0));

  struct Case {
    const char* name;
    SegmentRow::Region region;
    const char* help;
  };
  const Case cases[] = {
      {"check box", SegmentRow::Region::check,
       "クリックで選択。上下にドラッグでまとめて選択、Shift+クリックで範囲を選択"},
      {"time", SegmentRow::Region::time, "ここから再生"},
      {"speaker", SegmentRow::Region::speaker, "推定した話者（押して直せます）"},
      {"pencil", SegmentRow::Region::edited, "手で直した文"},
      {"text has none", SegmentRow::Region::text, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QToolTip::hideText();
    const QPoint at = centre(c.region);
    QHelpEvent event(QEvent::ToolTip, at, shown.mapToGlobal(at));
    QCoreApplication::sendEvent(&shown, &event);
    if (*c.help == '\0') {
      // Nothing to show: the event goes back unanswered.
      EXPECT_FALSE(event.isAccepted());
    } else {
      EXPECT_TRUE(QToolTip::isVisible());
      EXPECT_EQ(QToolTip::text(), QString::fromUtf8(c.help));
    }
  }
}

TEST_F(SegmentRowTest, SpeakerMenuOffersFourSlotsAndNoneAndLocksTheChoice) {
  VoiceSession conversation;
  conversation.segments = {sentence("はい", 1.0, 5), sentence("ええ", 2.0, 1)};
  conversation.speakerNames = {{3, "田中"}};
  const QUuid id = conversation.id;
  const QUuid first = conversation.segments[0].id;
  load({conversation});

  SegmentRowHost& shown = host(row(id, 0));
  QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(SegmentRow::Region::speaker));
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(actionTexts(*menu), (QStringList{"話者A", "話者B", "話者C", "田中", "話者なし"}));
  actionNamed(*menu, "話者C")->trigger();
  menu->close();
  EXPECT_EQ(session(id).segments[0].speaker, 2);
  EXPECT_TRUE(session(id).segments[0].speakerLocked);
  EXPECT_EQ(row(id, 0).toolTip(SegmentRow::Region::speaker), "手で選んだ話者");

  std::unique_ptr<QMenu> again(row(id, 0).speakerMenu(nullptr));
  actionNamed(*again, "話者なし")->trigger();
  EXPECT_EQ(session(id).segments[0].speaker, std::nullopt);
  EXPECT_TRUE(session(id).segments[0].speakerLocked);
  EXPECT_EQ(stored(id).segments[0].speaker, std::nullopt);
  EXPECT_EQ(session(id).segments[1].speaker, 1);
  EXPECT_EQ(session(id).segments[0].id, first);
}

TEST_F(SegmentRowTest, ContextMenuStartsATopicJoinsAndDeletes) {
  VoiceSession conversation;
  conversation.segments = {sentence("一文目。", 1.0, 0), sentence("二文目。", 2.0, 0), sentence("三文目。", 3.0, 0)};
  const QUuid id = conversation.id;
  const auto ids = std::vector<QUuid>{conversation.segments[0].id, conversation.segments[1].id,
                                      conversation.segments[2].id};
  load({conversation});

  SegmentRowHost& shown = host(row(id, 0));
  QContextMenuEvent event(QContextMenuEvent::Mouse, centre(SegmentRow::Region::text),
                          shown.mapToGlobal(centre(SegmentRow::Region::text)));
  QCoreApplication::sendEvent(&shown, &event);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(actionTexts(*menu), (QStringList{"ここから新しい話題", "—", "前の文とつなげる", "この文を削除"}));

  // Joining the first sentence changes nothing.
  actionNamed(*menu, "前の文とつなげる")->trigger();
  menu->close();
  EXPECT_EQ(session(id).segments.size(), 3u);
  EXPECT_EQ(session(id).segments[0].text, "一文目。");
  EXPECT_FALSE(session(id).segments[0].edited);

  std::unique_ptr<QMenu> second(row(id, 1).contextMenu(nullptr));
  actionNamed(*second, "ここから新しい話題")->trigger();
  ASSERT_TRUE(session(id).topics.has_value());
  ASSERT_EQ(session(id).topics->size(), 1u);
  EXPECT_EQ(session(id).topics->at(0).startSegmentID, ids[1]);
  actionNamed(*second, "前の文とつなげる")->trigger();
  EXPECT_EQ(session(id).segments.size(), 2u);
  EXPECT_EQ(session(id).segments[0].text, "一文目。二文目。");

  std::unique_ptr<QMenu> last(row(id, 1).contextMenu(nullptr));
  actionNamed(*last, "この文を削除")->trigger();
  ASSERT_EQ(session(id).segments.size(), 1u);
  EXPECT_EQ(stored(id).segments.size(), 1u);
}

TEST_F(SegmentRowTest, RowOfADeletedSentenceIgnoresLateClicks) {
  VoiceSession conversation;
  conversation.segments = {sentence("残る", 1.0, 0), sentence("消える", 2.0, 0)};
  const QUuid id = conversation.id;
  const QUuid gone = conversation.segments[1].id;
  load({conversation});

  SegmentRowHost& shown = host(row(id, 1));
  std::unique_ptr<QMenu> openBefore(shown.row()->speakerMenu(nullptr));
  live_->deleteSegment(gone);
  const VoiceSession before = session(id);

  for (SegmentRow::Region region : {SegmentRow::Region::check, SegmentRow::Region::time,
                                    SegmentRow::Region::speaker, SegmentRow::Region::text}) {
    SCOPED_TRACE(static_cast<int>(region));
    QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(region));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(shown.editor(), nullptr);
  }
  actionNamed(*openBefore, "話者B")->trigger();
  EXPECT_TRUE(calls_.checks.empty());
  EXPECT_EQ(calls_.times, 0);
  EXPECT_EQ(session(id), before);
}

TEST_F(SegmentRowTest, OpeningAndClosingTheEditorMovesNoPixel) {
  VoiceSession conversation;
  LiveSegment edited = sentence("来週の展示会について、搬入の段取りと当日の役割分担、それから撤収の時間を決めます。",
                                12.0, 1);
  edited.edited = true;
  conversation.segments = {sentence("はい", 1.0, 0), edited};
  const QUuid id = conversation.id;
  load({conversation});

  SegmentRowHost& shown = host(row(id, 1, true, false, true));
  const int height = shown.height();
  ASSERT_EQ(height, shown.row()->heightForWidth(shown.width()));
  const QImage closed = shown.grab().toImage();

  QTest::mouseClick(&shown, Qt::LeftButton, Qt::NoModifier, centre(SegmentRow::Region::text));
  SegmentTextEdit* editor = shown.editor();
  ASSERT_NE(editor, nullptr);
  ASSERT_TRUE(editor->hasFocus());
  EXPECT_GT(editor->document()->firstBlock().layout()->lineCount(), 1);
  QImage open = shown.grab().toImage();
  // The caret is the only difference allowed: blank it out in both pictures.
  const QRect caret = QRect(editor->viewport()->mapTo(&shown, editor->cursorRect().topLeft()),
                            QSize(4, editor->cursorRect().height()))
                          .adjusted(-1, -1, 1, 1);
  QImage closedMasked = closed;
  for (QImage* image : {&open, &closedMasked}) {
    QPainter painter(image);
    painter.fillRect(caret, Qt::black);
  }
  EXPECT_EQ(shown.height(), height);
  EXPECT_TRUE(open == closedMasked);

  QTest::keyClick(editor, Qt::Key_Escape);
  EXPECT_EQ(shown.editor(), nullptr);
  EXPECT_EQ(shown.height(), height);
  EXPECT_TRUE(shown.grab().toImage() == closed);
}

TEST_F(SegmentRowTest, TypingInTheHostEditsTheModelAndGrowsTheRow) {
  VoiceSession conversation;
  conversation.segments = {sentence("短い", 1.0, 0)};
  const QUuid id = conversation.id;
  load({conversation});

  SegmentRowHost& shown = host(row(id, 0, false, false, false, true, INT_MAX));
  const int height = shown.height();
  QCoreApplication::processEvents();
  ASSERT_NE(shown.editor(), nullptr);
  ASSERT_TRUE(shown.editor()->hasFocus());
  EXPECT_EQ(shown.editor()->textCursor().position(), 2);
  QTest::keyClicks(shown.editor(), "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(session(id).segments[0].text, "短いabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
  EXPECT_TRUE(session(id).segments[0].edited);
  EXPECT_GT(shown.height(), height);
  EXPECT_EQ(shown.editor()->height(), shown.editor()->heightForWidth(shown.editor()->width()));
}

TEST_F(SegmentRowTest, JoiningKeepsTheCaretBetweenTheTextsWithEmojiAndCombiningMarks) {
  VoiceSession conversation;
  conversation.segments = {sentence("👍e\u0301", 1.0, 0), sentence("次", 2.0, 0)};
  const QUuid id = conversation.id;
  const QUuid previous = conversation.segments[0].id;
  load({conversation});

  // What the transcript does with a join: the row above takes the focus where the join put it.
  SegmentRowHost& shown = host(row(id, 1, false, false, false, true, 0));
  QCoreApplication::processEvents();
  std::optional<LiveModel::Caret> caret;
  shown.editor()->onMergeBackward = [&] { caret = live_->mergeWithPrevious(shown.row()->segment().id); };
  QTest::keyClick(shown.editor(), Qt::Key_Backspace);
  ASSERT_TRUE(caret.has_value());
  EXPECT_EQ(caret->id, previous);

  SegmentRowHost above(&window());
  above.resize(window().width(), 10);
  above.setRow(row(id, 0, false, false, false, true, caret->offset));
  above.show();
  QCoreApplication::processEvents();
  ASSERT_NE(above.editor(), nullptr);
  const QTextCursor cursor = above.editor()->textCursor();
  EXPECT_EQ(above.editor()->toPlainText(), QStringLiteral("👍e\u0301次"));
  EXPECT_EQ(above.editor()->toPlainText().left(cursor.position()), QStringLiteral("👍e\u0301"));
}

}  // namespace
}  // namespace veltovoice
