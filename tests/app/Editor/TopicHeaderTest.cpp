#include "app/Editor/TopicHeader.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/app/Editor/EditorFixture.h"

namespace veltovoice {
namespace {

using testing::sentence;

// A conversation with one topic titled "予算" at its second sentence, and its header in the window
// beside a button that can take the focus.
class TopicHeaderTest : public testing::EditorWidgetTest {
 protected:
  TopicHeader& header(std::optional<double> start = 65.0) {
    VoiceSession conversation;
    conversation.segments = {sentence("はい", 1.0, 0), sentence("予算の話です", start, 0)};
    TopicTag topic;
    topic.title = "予算";
    topic.startSegmentID = conversation.segments[1].id;
    conversation.topics = std::vector<TopicTag>{topic};
    id_ = conversation.id;
    topicID_ = topic.id;
    load({conversation});
    header_ = new TopicHeader(*live_, id_, topicID_, &window());
    header_->setGeometry(0, 0, window().width(), TopicHeader::headerHeight());
    header_->show();
    elsewhere_ = new QLineEdit(&window());
    elsewhere_->move(0, 100);
    elsewhere_->show();
    changes_ = std::make_unique<QSignalSpy>(live_.get(), &LiveModel::sessionChanged);
    return *header_;
  }

  // Clicks the title, which opens the field with the focus.
  QLineEdit& edit() {
    const QRect title = TopicHeader::titleRect(header_->rect(), QString());
    QTest::mouseClick(header_, Qt::LeftButton, Qt::NoModifier, title.center() - QPoint(title.width() / 3, 0));
    QLineEdit* field = header_->titleField();
    EXPECT_NE(field, nullptr);
    EXPECT_TRUE(field && field->hasFocus());
    return *field;
  }

  std::string modelTitle() { return session(id_).topics->at(0).title; }

  QUuid id_;
  QUuid topicID_;
  TopicHeader* header_ = nullptr;
  QLineEdit* elsewhere_ = nullptr;
  std::unique_ptr<QSignalSpy> changes_;
};

TEST_F(TopicHeaderTest, CommitRenamesOnlyWithANewTitleTrimmedOfBlanks) {
  enum class Commit { returnKey, focusLoss };
  struct Case {
    const char* name;
    QString typed;
    Commit commit;
    const char* modelAfter;
    int renames;
    QString shownAfter;
  };
  const Case cases[] = {
      {"same title between blanks, ideographic spaces and tabs", QStringLiteral(" \u3000予算\t"),
       Commit::focusLoss, "予算", 0, QStringLiteral(" \u3000予算\t")},
      {"emptied comes back", "", Commit::focusLoss, "予算", 0, "予算"},
      {"only blanks comes back", QStringLiteral("\u3000 \t"), Commit::returnKey, "予算", 0, "予算"},
      {"new title renamed trimmed", QStringLiteral("\u3000来期の予算 "), Commit::returnKey, "来期の予算", 1,
       QStringLiteral("\u3000来期の予算 ")},
      {"new title on focus loss", "人員", Commit::focusLoss, "人員", 1, "人員"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    header();
    QLineEdit& field = edit();
    field.selectAll();
    QTest::keyClick(&field, Qt::Key_Backspace);
    // Pasted, since a tab has no key in a line field.
    QApplication::clipboard()->setText(c.typed);
    field.paste();
    if (c.commit == Commit::returnKey) {
      QTest::keyClick(&field, Qt::Key_Return);
      EXPECT_EQ(field.text(), c.shownAfter);
      EXPECT_TRUE(field.hasFocus());
    } else {
      elsewhere_->setFocus(Qt::TabFocusReason);
      EXPECT_EQ(header_->titleField(), nullptr);
    }
    EXPECT_EQ(modelTitle(), c.modelAfter);
    EXPECT_EQ(changes_->count(), c.renames);
    EXPECT_EQ(header_->title(), c.shownAfter);
  }
}

TEST_F(TopicHeaderTest, ReturnRenamesOnceAndLeavingAfterwardsDoesNotRenameAgain) {
  header();
  QLineEdit& field = edit();
  field.selectAll();
  testing::typeText(&field, "人員");
  QTest::keyClick(&field, Qt::Key_Return);
  EXPECT_EQ(modelTitle(), "人員");
  elsewhere_->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(changes_->count(), 1);
  EXPECT_EQ(stored(id_).topics->at(0).title, "人員");
}

TEST_F(TopicHeaderTest, RenameFromElsewhereWaitsWhileTheFieldIsEdited) {
  header();
  QLineEdit& field = edit();
  field.selectAll();
  testing::typeText(&field, "人");
  live_->renameTopic(id_, topicID_, "遠くから");
  EXPECT_EQ(field.text(), "人");

  // Leaving commits the user's title; the next rename from elsewhere shows.
  elsewhere_->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(modelTitle(), "人");
  live_->renameTopic(id_, topicID_, "また遠くから");
  EXPECT_EQ(header_->title(), "また遠くから");
  EXPECT_EQ(edit().text(), "また遠くから");
}

TEST_F(TopicHeaderTest, ContextMenuDoesNotCommitAndDeletesTheHeading) {
  header();
  QLineEdit& field = edit();
  testing::typeText(&field, "追記");
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 20), header_->mapToGlobal(QPoint(2, 20)));
  QCoreApplication::sendEvent(header_, &event);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions()[0]->text(), "この見出しを削除");
  EXPECT_EQ(changes_->count(), 0);
  menu->actions()[0]->trigger();
  menu->close();
  EXPECT_TRUE(session(id_).topics->empty());
}

TEST_F(TopicHeaderTest, ShowsTheStartTimeOnlyWhenTheStartSentenceHasOne) {
  struct Case {
    const char* name;
    std::optional<double> start;
    bool timeShown;
  };
  for (const Case& c : {Case{"start at 65 s", 65.0, true}, Case{"no start", std::nullopt, false}}) {
    SCOPED_TRACE(c.name);
    window_.reset();
    TopicHeader& shown = header(c.start);
    // The title gives way to the time when there is one.
    const QRect withoutTime = TopicHeader::titleRect(shown.rect(), QString());
    const QImage image = shown.grab().toImage();
    bool inkRight = false;
    for (int x = shown.width() - 40; x < shown.width(); ++x) {
      for (int y = 0; y < image.height(); ++y) {
        if (image.pixelColor(x, y) != image.pixelColor(0, 0)) inkRight = true;
      }
    }
    EXPECT_EQ(inkRight, c.timeShown);
    EXPECT_EQ(TopicHeader::titleRect(shown.rect(), "01:05").width() < withoutTime.width(), true);
  }
}

}  // namespace
}  // namespace veltovoice
