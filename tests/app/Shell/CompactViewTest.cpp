#include "app/Shell/CompactView.h"

#include <string>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Shell/LiveControls.h"
#include "app/Shell/WaveformView.h"
#include "app/Shell/WrappedText.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

class CompactViewTest : public testing::ShellTest {
 protected:
  CompactView& view() {
    if (!view_) {
      view_ = std::make_unique<CompactView>(model(), [this] { ++shown_; }, [this] { ++quit_; });
      view_->show();
      QCoreApplication::processEvents();
    }
    return *view_;
  }

  ~CompactViewTest() override { view_.reset(); }

  // The names of the view's visible items, top to bottom.
  std::vector<std::string> visibleItems() {
    std::vector<std::pair<int, std::string>> items;
    for (QWidget* child : view().findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (child->isVisible()) items.emplace_back(child->y(), child->objectName().toStdString());
    }
    std::sort(items.begin(), items.end());
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.second);
    return names;
  }

  std::unique_ptr<CompactView> view_;
  int shown_ = 0;
  int quit_ = 0;
};

TEST_F(CompactViewTest, IdleWithoutStatusOrNoticeShowsOnlyTitleStartAndButtons) {
  stored("前の会議", 100, {testing::sentence("こんにちは")});
  EXPECT_EQ(visibleItems(), (std::vector<std::string>{"title", "liveControls", "divider", "openButton",
                                                      "quitButton"}));
  EXPECT_TRUE(view().controls()->startButton()->isVisible());
  EXPECT_FALSE(view().controls()->compact());
  EXPECT_EQ(view().width(), CompactView::kWidth);
  EXPECT_EQ(view().windowFlags() & Qt::Popup, Qt::Popup);
  EXPECT_EQ(view().openButton()->text(), "VELTO VOICEを開く");
  EXPECT_EQ(view().openButton()->geometry().left(), CompactView::kPadding);
  EXPECT_EQ(view().quitButton()->text(), "VELTO VOICEを終了");
}

TEST_F(CompactViewTest, WhileRecordingShowsTheWaveformAndTheLatestLinesWithTheLiveTextMuted) {
  record();
  const QUuid id = *model().liveID();
  model().editSession(id, [](VoiceSession& session) {
    session.segments = {testing::sentence("一つ目"), testing::sentence("二つ目", 0), testing::sentence("三つ目")};
  });
  model().setVolatileText("いま話している");
  EXPECT_TRUE(view().waveform()->isVisible());
  EXPECT_TRUE(view().waveform()->active());
  EXPECT_EQ(view().waveform()->height(), CompactView::kWaveformHeight);

  auto shownLines = [&] {
    std::vector<std::pair<QString, QColor>> lines;
    for (WrappedText* line : view().lines()) lines.emplace_back(line->text(), line->color());
    return lines;
  };
  const QColor primary = VeltoToolsDesign::primary();
  const QColor muted = VeltoToolsDesign::muted();
  using Lines = std::vector<std::pair<QString, QColor>>;
  EXPECT_EQ(shownLines(), (Lines{{"話者A：二つ目", primary}, {"三つ目", primary}, {"いま話している", muted}}));

  // Once the live text is final, every line is primary.
  model().setVolatileText("");
  EXPECT_EQ(shownLines(), (Lines{{"一つ目", primary}, {"話者A：二つ目", primary}, {"三つ目", primary}}));

  // While paused the waveform stays, drawn inactive.
  model().setPhase(Phase::paused);
  EXPECT_TRUE(view().waveform()->isVisible());
  EXPECT_FALSE(view().waveform()->active());
}

TEST_F(CompactViewTest, LatestLinesAreCutAfterTwoLines) {
  record();
  const std::string longSentence(300, 'a');
  const std::string multiline = "一行目\n二行目\n三行目";
  model().editSession(*model().liveID(), [&](VoiceSession& session) {
    session.segments = {testing::sentence("短い"), testing::sentence(longSentence), testing::sentence(multiline)};
  });
  ASSERT_EQ(view().lines().size(), 3u);
  QCoreApplication::processEvents();
  WrappedText* shortLine = view().lines()[0];
  WrappedText* longLine = view().lines()[1];
  WrappedText* brokenLine = view().lines()[2];
  const int lineHeight = shortLine->height();
  EXPECT_FALSE(shortLine->isCut());
  EXPECT_TRUE(longLine->isCut());
  EXPECT_GT(longLine->lineCountFor(longLine->width()), 2);
  EXPECT_EQ(longLine->height(), longLine->heightForWidth(longLine->width()));
  EXPECT_NEAR(longLine->height(), 2 * lineHeight, 1);
  EXPECT_TRUE(brokenLine->isCut());
  EXPECT_EQ(brokenLine->lineCountFor(brokenLine->width()), 3);
  EXPECT_EQ(longLine->text().toStdString(), longSentence);
}

TEST_F(CompactViewTest, StatusShowsWhileStartingAndALongNoticeWrapsUncut) {
  view();
  model().setPhase(Phase::starting);
  model().setStatus("音声認識を準備しています…");
  EXPECT_EQ(view().controls()->progressText()->text(), "準備しています…");
  EXPECT_TRUE(view().statusText()->isVisible());
  EXPECT_EQ(view().statusText()->text(), "音声認識を準備しています…");
  EXPECT_EQ(view().statusText()->font().pixelSize(), 10);
  model().setStatus("");
  EXPECT_FALSE(view().statusText()->isVisible());

  std::string text;
  for (int i = 0; i < 12; ++i) text += "マイクの音声が届いていません。";
  text += "https://example.invalid/" + std::string(120, 'x');
  const int heightBefore = view().height();
  model().setNotice(LiveModel::Notice{text, std::nullopt});
  QCoreApplication::processEvents();
  WrappedText* notice = view().noticeText();
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->text().toStdString(), text);
  EXPECT_EQ(notice->width(), CompactView::kWidth - 2 * CompactView::kPadding);
  EXPECT_GT(notice->lineCountFor(notice->width()), 4);
  EXPECT_FALSE(notice->isCut());
  EXPECT_EQ(notice->height(), notice->heightForWidth(notice->width()));
  EXPECT_GT(view().height(), heightBefore + notice->height());
  EXPECT_LE(notice->geometry().bottom(), view().height() - CompactView::kPadding);

  model().setNotice(std::nullopt);
  EXPECT_FALSE(notice->isVisible());
}

TEST_F(CompactViewTest, ButtonsCallTheirHooks) {
  QTest::mouseClick(view().openButton(), Qt::LeftButton);
  EXPECT_EQ(shown_, 1);
  EXPECT_EQ(quit_, 0);
  QTest::mouseClick(view().quitButton(), Qt::LeftButton);
  EXPECT_EQ(quit_, 1);
}

}  // namespace
}  // namespace veltovoice
