#include "app/Editor/SegmentTextEdit.h"

#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QScrollBar>
#include <QTextBlock>
#include <gtest/gtest.h>

#include "tests/app/Editor/WidgetTestApplication.h"

namespace veltovoice {
namespace {

using Move = SegmentTextEdit::Move;

// A shown, active window holding one editor 200 px wide, with every callback recorded.
class SegmentTextEditTest : public ::testing::Test {
 protected:
  static constexpr int kWidth = 200;

  void SetUp() override {
    testing::widgetApplication();
    window_ = std::make_unique<QWidget>();
    window_->resize(kWidth + 40, 400);
    edit_ = new SegmentTextEdit(window_.get());
    edit_->onChange = [this](const QString& text) { changes_.push_back(text); };
    edit_->onMove = [this](Move move) { moves_.push_back(move); };
    edit_->onMergeBackward = [this] { ++merges_; };
    edit_->onFocus = [this] { ++focuses_; };
    edit_->onBlur = [this] { ++blurs_; };
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    edit_->clearFocus();
    focuses_ = blurs_ = 0;
  }

  void TearDown() override {
    window_.reset();
    QCoreApplication::processEvents();
  }

  // Shows `text` at the editor's own height and puts the caret at `offset`.
  void show(const QString& text, int offset) {
    edit_->clearFocus();
    edit_->setModelText(text);
    edit_->setGeometry(10, 10, kWidth, edit_->heightForWidth(kWidth));
    edit_->setFocus(Qt::OtherFocusReason);
    QTextCursor caret = edit_->textCursor();
    caret.setPosition(offset);
    edit_->setTextCursor(caret);
  }

  int caret() const { return edit_->textCursor().position(); }

  std::unique_ptr<QWidget> window_;
  SegmentTextEdit* edit_ = nullptr;
  std::vector<QString> changes_;
  std::vector<Move> moves_;
  int merges_ = 0;
  int focuses_ = 0;
  int blurs_ = 0;
};

// Long enough to wrap at 200 px into several lines.
const QString kWrapping = QStringLiteral("今日は来週の展示会の準備について、役割分担と搬入の段取りを確認します。");

TEST_F(SegmentTextEditTest, ArrowsAndBackspaceLeaveTheSentenceOnlyAtItsEdges) {
  enum class Caret { stays, movesUp, movesDown };
  struct Case {
    const char* name;
    QString text;
    int offset;
    bool selectAll;
    Qt::Key key;
    std::vector<Move> moves;
    int merges;
    QString textAfter;
    Caret caretAfter;
  };
  const QString twoLines = QStringLiteral("一行目\n二行目");
  const int end = static_cast<int>(kWrapping.size());
  const Case cases[] = {
      {"backspace at the start joins", "あいう", 0, false, Qt::Key_Backspace, {}, 1, "あいう", Caret::stays},
      {"backspace inside deletes", "あいう", 1, false, Qt::Key_Backspace, {}, 0, "いう", Caret::stays},
      {"backspace over everything deletes", "あいう", 0, true, Qt::Key_Backspace, {}, 0, "", Caret::stays},
      {"up on the first line leaves", twoLines, 1, false, Qt::Key_Up, {Move::previous}, 0, twoLines, Caret::stays},
      {"up on the second line stays", twoLines, 5, false, Qt::Key_Up, {}, 0, twoLines, Caret::movesUp},
      {"down on the last line leaves", twoLines, 5, false, Qt::Key_Down, {Move::next}, 0, twoLines, Caret::stays},
      {"down on the first line stays", twoLines, 1, false, Qt::Key_Down, {}, 0, twoLines, Caret::movesDown},
      {"up on a wrapped last line stays", kWrapping, end, false, Qt::Key_Up, {}, 0, kWrapping, Caret::movesUp},
      {"down on a wrapped first line stays", kWrapping, 0, false, Qt::Key_Down, {}, 0, kWrapping, Caret::movesDown},
      {"down after a final line feed leaves", "文\n", 2, false, Qt::Key_Down, {Move::next}, 0, "文\n", Caret::stays},
      {"up after a final line feed stays", "文\n", 2, false, Qt::Key_Up, {}, 0, "文\n", Caret::movesUp},
      {"up in an empty sentence leaves", "", 0, false, Qt::Key_Up, {Move::previous}, 0, "", Caret::stays},
      {"down in an empty sentence leaves", "", 0, false, Qt::Key_Down, {Move::next}, 0, "", Caret::stays},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    moves_.clear();
    merges_ = 0;
    show(c.text, c.offset);
    if (c.selectAll) edit_->selectAll();
    const int before = caret();
    QTest::keyClick(edit_, c.key);
    EXPECT_EQ(moves_, c.moves);
    EXPECT_EQ(merges_, c.merges);
    EXPECT_EQ(edit_->toPlainText(), c.textAfter);
    switch (c.caretAfter) {
      case Caret::stays:
        if (c.textAfter == c.text) {
          EXPECT_EQ(caret(), before);
        }
        break;
      case Caret::movesUp:
        EXPECT_LT(caret(), before);
        break;
      case Caret::movesDown:
        EXPECT_GT(caret(), before);
        break;
    }
  }
}

TEST_F(SegmentTextEditTest, FocusRequestsPlaceTheCaretOnALaterTurnClampedToTheText) {
  struct Case {
    const char* name;
    QString text;
    int offset;
    int caret;
  };
  const Case cases[] = {
      {"largest integer is the end", "あいう", INT_MAX, 3},
      {"zero is the start", "あいう", 0, 0},
      {"inside", "あいう", 2, 2},
      {"after an emoji and a combining mark, in UTF-16 units", QStringLiteral("👍e\u0301x"), 4, 4},
      {"empty text", "", 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    show(c.text, 0);
    edit_->clearFocus();
    focuses_ = 0;
    edit_->requestFocus(c.offset);
    EXPECT_FALSE(edit_->hasFocus());
    QCoreApplication::processEvents();
    EXPECT_TRUE(edit_->hasFocus());
    EXPECT_EQ(caret(), c.caret);
    EXPECT_EQ(focuses_, 1);
  }
  // Already focused: the request changes nothing.
  edit_->requestFocus(0);
  QCoreApplication::processEvents();
  EXPECT_EQ(caret(), 0);
}

TEST_F(SegmentTextEditTest, UserEditsReportTheWholeTextAndModelTextWaitsUntilEditingEnds) {
  show("会議", 2);
  blurs_ = 0;
  QTest::keyClicks(edit_, "ab");
  QTest::keyClick(edit_, Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClicks(edit_, "c");
  EXPECT_EQ(changes_, (std::vector<QString>{"会議a", "会議ab", "会議", "会議c"}));

  // An older text from the model does not replace what is being typed.
  edit_->setModelText("会議");
  EXPECT_EQ(edit_->toPlainText(), "会議c");

  edit_->clearFocus();
  EXPECT_EQ(blurs_, 1);
  edit_->setModelText("別の文");
  EXPECT_EQ(edit_->toPlainText(), "別の文");
  EXPECT_EQ(changes_.size(), 4u);
}

TEST_F(SegmentTextEditTest, HeightFollowsTheTextAtTheGivenWidth) {
  const QFont font = SegmentTextEdit::sentenceFont();
  const int oneLine = static_cast<int>(std::ceil(QFontMetricsF(font).lineSpacing())) + 2;
  edit_->setModelText("");
  EXPECT_EQ(edit_->heightForWidth(kWidth), oneLine);
  EXPECT_EQ(SegmentTextEdit::textHeight("", font, kWidth), oneLine);

  edit_->setModelText(kWrapping + kWrapping);
  EXPECT_EQ(edit_->heightForWidth(-1), edit_->heightForWidth(SegmentTextEdit::kDefaultWidth));
  EXPECT_GT(edit_->heightForWidth(-1), edit_->heightForWidth(4000));
  EXPECT_EQ(edit_->heightForWidth(5), edit_->heightForWidth(20));
  EXPECT_GT(edit_->heightForWidth(5), edit_->heightForWidth(kWidth));
  EXPECT_EQ(edit_->sizeHint().height(), edit_->heightForWidth(edit_->width()));

  // The editor's own layout agrees with the measure: every line fits, nothing scrolls.
  edit_->setGeometry(10, 10, kWidth, edit_->heightForWidth(kWidth));
  int lines = 0;
  qreal used = 0;
  for (QTextBlock block = edit_->document()->firstBlock(); block.isValid(); block = block.next()) {
    lines += block.layout()->lineCount();
    used += block.layout()->boundingRect().height();
  }
  EXPECT_GT(lines, 2);
  EXPECT_EQ(edit_->heightForWidth(kWidth), static_cast<int>(std::ceil(used)) + 2);
  show(edit_->toPlainText(), static_cast<int>(edit_->toPlainText().size()));
  EXPECT_EQ(edit_->verticalScrollBar()->value(), 0);
}

TEST_F(SegmentTextEditTest, EscapeEndsEditingButMenusAndOtherWindowsDoNot) {
  show("文", 1);
  focuses_ = blurs_ = 0;
  edit_->clearFocus();
  edit_->setFocus(Qt::MouseFocusReason);
  EXPECT_EQ(focuses_, 1);
  EXPECT_EQ(blurs_, 1);
  blurs_ = 0;

  // A context menu takes the focus for a while.
  QMenu menu(edit_);
  menu.addAction("copy");
  menu.popup(edit_->mapToGlobal(QPoint(5, 5)));
  QCoreApplication::processEvents();
  menu.close();
  QCoreApplication::processEvents();
  EXPECT_EQ(blurs_, 0);

  // So does another window.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(edit_->hasFocus());
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  EXPECT_EQ(blurs_, 0);
  EXPECT_EQ(focuses_, 1);
  EXPECT_TRUE(edit_->isEditing());

  edit_->setFocus();
  QTest::keyClick(edit_, Qt::Key_Escape);
  EXPECT_FALSE(edit_->hasFocus());
  EXPECT_FALSE(edit_->isEditing());
  EXPECT_EQ(blurs_, 1);
  EXPECT_EQ(edit_->toPlainText(), "文");
}

TEST_F(SegmentTextEditTest, ComposingInputMethodKeepsTheEdgeKeys) {
  show("", 0);
  blurs_ = 0;
  QInputMethodEvent composing(QStringLiteral("か"), {});
  QCoreApplication::sendEvent(edit_, &composing);
  for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Backspace, Qt::Key_Escape}) {
    SCOPED_TRACE(key);
    QTest::keyClick(edit_, key);
  }
  EXPECT_TRUE(moves_.empty());
  EXPECT_EQ(merges_, 0);
  EXPECT_EQ(blurs_, 0);
  EXPECT_TRUE(edit_->hasFocus());

  QInputMethodEvent committed;
  committed.setCommitString(QStringLiteral("家"));
  QCoreApplication::sendEvent(edit_, &committed);
  EXPECT_EQ(edit_->toPlainText(), "家");
  EXPECT_EQ(changes_, (std::vector<QString>{"家"}));
  QTest::keyClick(edit_, Qt::Key_Up);
  EXPECT_EQ(moves_, (std::vector<Move>{Move::previous}));
}

TEST_F(SegmentTextEditTest, PastesPlainTextWithLineFeeds) {
  show("前", 1);
  auto* data = new QMimeData;
  data->setText(QStringLiteral("一\r\n二\r三"));
  data->setHtml(QStringLiteral("<b style=\"color:red\">太字</b>"));
  QApplication::clipboard()->setMimeData(data);
  edit_->paste();
  EXPECT_EQ(edit_->toPlainText(), "前一\n二\n三");
  EXPECT_EQ(changes_.back(), "前一\n二\n三");
  EXPECT_EQ(edit_->document()->blockCount(), 3);
}

TEST_F(SegmentTextEditTest, TenThousandCharactersLayOutAndEdit) {
  QString text;
  for (int i = 0; i < 1000; ++i) text += QStringLiteral("あいうえおかきくけ。");
  ASSERT_EQ(text.size(), 10000);
  show(text, static_cast<int>(text.size()));
  edit_->setGeometry(10, 10, kWidth, edit_->heightForWidth(kWidth));
  const QFontMetricsF metrics(SegmentTextEdit::sentenceFont());
  EXPECT_GT(edit_->height(), 100 * metrics.lineSpacing());
  QTest::keyClick(edit_, Qt::Key_A);
  ASSERT_FALSE(changes_.empty());
  EXPECT_EQ(changes_.back().size(), 10001);
  QTest::keyClick(edit_, Qt::Key_Down);
  EXPECT_EQ(moves_, (std::vector<Move>{Move::next}));
}

}  // namespace
}  // namespace veltovoice
