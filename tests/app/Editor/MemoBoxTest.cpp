#include "app/Editor/MemoBox.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/app/Editor/EditorFixture.h"

namespace veltovoice {
namespace {

class MemoBoxTest : public testing::EditorWidgetTest {
 protected:
  MemoBox& box(const QUuid& id) {
    box_ = new MemoBox(*live_, id, &window());
    box_->setGeometry(0, 0, window().width(), 150);
    box_->show();
    changes_ = std::make_unique<QSignalSpy>(live_.get(), &LiveModel::sessionChanged);
    return *box_;
  }

  static VoiceSession withMemo(std::optional<std::string> memo) {
    VoiceSession conversation;
    conversation.memo = std::move(memo);
    return conversation;
  }

  MemoBox* box_ = nullptr;
  std::unique_ptr<QSignalSpy> changes_;
};

TEST_F(MemoBoxTest, FoldedBoxPreviewsTheMemoOnOneLine) {
  struct Case {
    const char* name;
    std::optional<std::string> memo;
    QString preview;
  };
  const Case cases[] = {
      {"two lines joined by an ideographic space", "山田（北浜商事）\n用語：稟議", QStringLiteral("山田（北浜商事）\u3000用語：稟議")},
      {"empty memo", "", ""},
      {"no memo", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    const VoiceSession conversation = withMemo(c.memo);
    load({conversation});
    MemoBox& shown = box(conversation.id);
    EXPECT_FALSE(shown.isOpen());
    EXPECT_FALSE(shown.editor()->isVisible());
    EXPECT_EQ(shown.preview(), c.preview);
    QTest::mouseClick(shown.toggle(), Qt::LeftButton);
    EXPECT_TRUE(shown.isOpen());
    EXPECT_TRUE(shown.editor()->isVisible());
    EXPECT_EQ(shown.editor()->height(), 76);
    EXPECT_EQ(shown.preview(), "");
    EXPECT_EQ(shown.editor()->toPlainText().toStdString(), c.memo.value_or(""));
    EXPECT_EQ(changes_->count(), 0);
  }
}

TEST_F(MemoBoxTest, EveryKeystrokePassesTheWholeText) {
  const VoiceSession conversation = withMemo(std::nullopt);
  load({conversation});
  MemoBox& shown = box(conversation.id);
  shown.setOpen(true);
  shown.editor()->setFocus();
  QTest::keyClicks(shown.editor(), "ab ");
  EXPECT_EQ(changes_->count(), 3);
  EXPECT_EQ(session(conversation.id).memo, "ab ");
  QTest::keyClick(shown.editor(), Qt::Key_Return);
  EXPECT_EQ(session(conversation.id).memo, "ab \n");
  EXPECT_EQ(stored(conversation.id).memo, "ab \n");

  // Folding keeps what was written.
  shown.setOpen(false);
  EXPECT_EQ(shown.preview(), QStringLiteral("ab \u3000"));
}

TEST_F(MemoBoxTest, ClearingStoresTheEmptyMemoAndShowsThePlaceholder) {
  const VoiceSession conversation = withMemo("田中");
  load({conversation});
  MemoBox& shown = box(conversation.id);
  shown.setOpen(true);
  shown.editor()->setFocus();
  shown.editor()->selectAll();
  QTest::keyClick(shown.editor(), Qt::Key_Backspace);
  EXPECT_EQ(session(conversation.id).memo, std::optional<std::string>(""));
  EXPECT_EQ(stored(conversation.id).memo, std::optional<std::string>(""));
  EXPECT_EQ(shown.editor()->placeholderText(), MemoBox::placeholder());
  EXPECT_EQ(MemoBox::placeholder().count(QLatin1Char('\n')), 1);

  // The placeholder is painted into the empty editor.
  const QImage empty = shown.editor()->viewport()->grab().toImage();
  shown.editor()->setPlaceholderText(QString());
  EXPECT_FALSE(shown.editor()->viewport()->grab().toImage() == empty);
}

TEST_F(MemoBoxTest, ShowingAnotherConversationReloadsWithoutWriting) {
  const VoiceSession first = withMemo("一つ目のメモ");
  const VoiceSession second = withMemo(std::nullopt);
  const VoiceSession third = withMemo("三つ目");
  load({first, second, third});
  MemoBox& shown = box(first.id);
  shown.setOpen(true);
  for (const VoiceSession* next : {&second, &third, &first}) {
    shown.setSession(next->id);
    EXPECT_EQ(shown.editor()->toPlainText().toStdString(), next->memo.value_or(""));
  }
  EXPECT_EQ(changes_->count(), 0);
  EXPECT_EQ(session(second.id).memo, std::nullopt);
  EXPECT_TRUE(shown.isOpen());
}

}  // namespace
}  // namespace veltovoice
