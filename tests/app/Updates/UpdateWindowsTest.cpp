#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Updates/UpdateNoticeWindow.h"
#include "app/Updates/UpdatePromptWindow.h"
#include "app/Updates/UpdateUserDriver.h"
#include "platform/sys/Error.h"
#include "platform/update/UpdateError.h"
#include "tests/support/EventLoop.h"

namespace veltovoice {
namespace {

using Log = std::vector<std::string>;

QApplication& application() {
  static int argc = 1;
  static char name[] = "update_service_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* created = new QApplication(argc, argv);
    VeltoToolsDesign::applyTo(*created);
    return created;
  }();
  return *app;
}

QString labelText(QWidget* window, const char* name) {
  auto* label = window != nullptr ? window->findChild<QLabel*>(name) : nullptr;
  return label != nullptr ? label->text() : QString("<missing>");
}

QPushButton* buttonOf(QWidget* window, const char* name) { return window->findChild<QPushButton*>(name); }

// Whether the closed window goes: its deletion is deferred, which a plain turn of the loop leaves
// waiting outside a running event loop.
bool deleted(const QPointer<QDialog>& window) {
  return testsupport::processEventsUntil([&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return window.isNull();
  });
}

class UpdateWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { application(); }

  std::function<void()> logger(std::string entry) {
    return [this, entry] { log_.push_back(entry); };
  }

  Log log_;
};

// Ways a notice is closed.
enum class Way { okButton, returnKey, escapeKey, titleBar, dismissal };

void closeNotice(UpdateNoticeWindow& notice, QDialog* window, Way way) {
  switch (way) {
    case Way::okButton:
      QTest::mouseClick(buttonOf(window, "updateNoticeOKButton"), Qt::LeftButton);
      break;
    case Way::returnKey:
      QTest::keyClick(window, Qt::Key_Return);
      break;
    case Way::escapeKey:
      QTest::keyClick(window, Qt::Key_Escape);
      break;
    case Way::titleBar:
      window->close();
      break;
    case Way::dismissal:
      notice.dismiss();
      break;
  }
}

TEST_F(UpdateWindowsTest, NoticeHeightFollowsTheMeasuredMessage) {
  struct Case {
    double measured;
    int height;
  };
  const Case cases[] = {{0, 190}, {15, 190}, {55, 190}, {55.2, 191}, {56, 191}, {100, 235}, {99.01, 235}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.measured);
    EXPECT_EQ(UpdateNoticeWindow::contentHeight(c.measured), c.height);
  }

  UpdateNoticeWindow notice;
  notice.show("最新版を使用しています。", "VELTO VOICE 1.0.0 が最新のバージョンです。", [] {});
  EXPECT_EQ(notice.window()->size(), QSize(440, 190));

  QStringList lines;
  for (int i = 0; i < 12; ++i) lines << QString("更新ファイルの中身が正しくありません（%1 行目）").arg(i + 1);
  const QString message = lines.join('\n');
  notice.show("更新ファイルの中身が正しくありません。", message, [] {});
  const double measured = UpdateNoticeWindow::measuredHeight(message, VeltoToolsDesign::systemFont(12));
  EXPECT_GT(measured, 100);
  EXPECT_EQ(notice.window()->height(), static_cast<int>(std::ceil(measured)) + 135);
  EXPECT_EQ(notice.window()->width(), 440);
  notice.dismiss();
}

TEST_F(UpdateWindowsTest, NoticeShowsItsTextsPlainlyWithOKAsDefault) {
  UpdateNoticeWindow notice;
  notice.show("更新ファイルに安全でない項目があります。", "<b>../../etc/passwd</b>", [] {});
  QDialog* window = notice.window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "VELTO VOICE / アップデート");
  EXPECT_EQ(labelText(window, "updateNoticeTitle"), "更新ファイルに安全でない項目があります。");
  EXPECT_EQ(labelText(window, "updateNoticeMessage"), "<b>../../etc/passwd</b>");
  for (auto* label : window->findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
  QPushButton* ok = buttonOf(window, "updateNoticeOKButton");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), "OK");
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(ok->width(), 88);
  EXPECT_EQ(window->palette().color(QPalette::Window), VeltoToolsDesign::background());
  notice.dismiss();
}

TEST_F(UpdateWindowsTest, EveryWayOfClosingANoticeAcknowledgesItOnce) {
  struct Case {
    const char* name;
    Way way;
  };
  const Case cases[] = {{"OK", Way::okButton},     {"Return", Way::returnKey},  {"Escape", Way::escapeKey},
                        {"title bar", Way::titleBar}, {"dismissal", Way::dismissal}};
  UpdateNoticeWindow notice;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    notice.show("最新版を使用しています。", "", logger("ack"));
    QPointer<QDialog> window = notice.window();
    ASSERT_NE(window, nullptr);
    closeNotice(notice, window, c.way);
    EXPECT_EQ(log_, Log{"ack"});
    EXPECT_EQ(notice.window(), nullptr);

    // Pressing "OK" or closing again once it is closed, or a later dismissal, acknowledges nothing more.
    if (window) {
      QTest::mouseClick(buttonOf(window, "updateNoticeOKButton"), Qt::LeftButton);
      window->close();
    }
    notice.dismiss();
    EXPECT_TRUE(deleted(window));
    EXPECT_EQ(log_, Log{"ack"});
  }
}

TEST_F(UpdateWindowsTest, NewNoticeAcknowledgesTheOpenOneFirst) {
  UpdateNoticeWindow notice;
  notice.show("一つ目", "", logger("first"));
  QPointer<QDialog> first = notice.window();
  notice.show("二つ目", "", [this, &notice] {
    log_.push_back("second");
    EXPECT_EQ(notice.window(), nullptr);
  });
  EXPECT_EQ(log_, Log{"first"});
  ASSERT_NE(notice.window(), nullptr);
  EXPECT_NE(notice.window(), first.data());
  EXPECT_EQ(labelText(notice.window(), "updateNoticeTitle"), "二つ目");
  // The first notice's button belongs to a closed window.
  if (first) QTest::mouseClick(buttonOf(first, "updateNoticeOKButton"), Qt::LeftButton);
  EXPECT_EQ(log_, Log{"first"});
  QTest::keyClick(notice.window(), Qt::Key_Return);
  EXPECT_EQ(log_, (Log{"first", "second"}));
}

TEST_F(UpdateWindowsTest, ReminderNamesTheVersionAndStaysOutOfTheWay) {
  UpdatePromptWindow prompt;
  prompt.show("1.2.3", [] {});
  QWidget* window = prompt.window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "VELTO VOICE のアップデート");
  EXPECT_EQ(labelText(window, "updatePromptHeading"), "新しいバージョン 1.2.3 が利用できます");
  EXPECT_EQ(labelText(window, "updatePromptBody"),
            "ログインなしで更新できます。「更新する」から内容を確認して、インストールに進めます。"
            "更新後はVELTO VOICEが再起動します。録音中は更新できません。");
  EXPECT_EQ(window->size(), QSize(460, 220));
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(window->windowType(), Qt::Tool);
  // The offscreen platform activates whatever it shows, so the request is what can be checked.
  EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
  for (const char* name : {"updatePromptLaterButton", "updatePromptInstallButton"}) {
    SCOPED_TRACE(name);
    QPushButton* button = buttonOf(window, name);
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isDefault());
    EXPECT_FALSE(button->autoDefault());
  }
  EXPECT_EQ(buttonOf(window, "updatePromptLaterButton")->text(), "あとで");
  EXPECT_EQ(buttonOf(window, "updatePromptInstallButton")->text(), "更新する");
  // Return does not stand for either button.
  QTest::keyClick(window, Qt::Key_Return);
  EXPECT_EQ(prompt.window(), window);
  prompt.close();
  EXPECT_EQ(prompt.window(), nullptr);
}

TEST_F(UpdateWindowsTest, ReminderButtonsCloseItAndOnlyUpdateRunsTheAction) {
  struct Case {
    const char* name;
    std::function<void(UpdatePromptWindow&)> act;
    Log log;
  };
  const Case cases[] = {
      {"更新する",
       [](UpdatePromptWindow& prompt) {
         QTest::mouseClick(buttonOf(prompt.window(), "updatePromptInstallButton"), Qt::LeftButton);
       },
       {"closed before update"}},
      {"あとで",
       [](UpdatePromptWindow& prompt) {
         QTest::mouseClick(buttonOf(prompt.window(), "updatePromptLaterButton"), Qt::LeftButton);
       },
       {}},
      {"closed by the service", [](UpdatePromptWindow& prompt) { prompt.close(); }, {}},
      {"replaced by a newer reminder", [](UpdatePromptWindow& prompt) { prompt.show("1.3.0", [] {}); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    UpdatePromptWindow prompt;
    prompt.show("1.2.3", [this, &prompt] {
      log_.push_back(prompt.window() == nullptr ? "closed before update" : "open during update");
    });
    QPointer<QWidget> window = prompt.window();
    c.act(prompt);
    EXPECT_EQ(log_, c.log);
    EXPECT_TRUE(window.isNull() || !window->isVisible());
    // Buttons of the old panel answer nothing more.
    if (window) QTest::mouseClick(buttonOf(window, "updatePromptInstallButton"), Qt::LeftButton);
    EXPECT_EQ(log_, c.log);
  }
}

TEST_F(UpdateWindowsTest, ReminderClosedFromItsTitleBarKeepsItsActionUntilClosed) {
  UpdatePromptWindow prompt;
  prompt.show("1.2.3", logger("update"));
  QWidget* window = prompt.window();
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(prompt.window(), window);
  EXPECT_TRUE(log_.empty());
  // Its buttons still work should the panel come back.
  window->show();
  QTest::mouseClick(buttonOf(window, "updatePromptInstallButton"), Qt::LeftButton);
  EXPECT_EQ(log_, Log{"update"});
}

TEST_F(UpdateWindowsTest, DriverRoutesNoUpdateAndErrorsIntoTheNotice) {
  struct Case {
    const char* name;
    std::function<void(UpdateUserDriver&, std::function<void()>)> show;
    QString title;
    QString message;
  };
  const Case cases[] = {
      {"no update",
       [](UpdateUserDriver& driver, std::function<void()> ack) {
         driver.showUpdateNotFound(platform::UpdateError::noUpdate("1.0.0"), std::move(ack));
       },
       "最新版を使用しています。", "VELTO VOICE 1.0.0 が最新のバージョンです。"},
      {"updater error with its reason",
       [](UpdateUserDriver& driver, std::function<void()> ack) {
         driver.showUpdaterError(platform::UpdateError::lengthMismatch(10, 4), std::move(ack));
       },
       "更新ファイルの大きさが正しくありません。", "10 バイトのはずが 4 バイトでした。"},
      {"refusal without a reason",
       [](UpdateUserDriver& driver, std::function<void()> ack) {
         driver.showUpdaterError(platform::Error("UpdatesError", "VeltoVoiceUpdates", 2, "録音中は更新できません。"),
                                 std::move(ack));
       },
       "録音中は更新できません。", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    UpdateUserDriver driver;
    driver.setPrepareForUpdateUI([this, &driver] {
      log_.push_back(driver.window() == nullptr && driver.notice().window() == nullptr ? "prepare" : "prepare late");
    });
    // A standard window still open goes without answering.
    driver.showUserInitiatedUpdateCheck(logger("cancel"));
    ASSERT_NE(driver.window(), nullptr);
    c.show(driver, logger("ack"));
    EXPECT_EQ(driver.window(), nullptr);
    EXPECT_EQ(log_, Log{"prepare"});
    QDialog* notice = driver.notice().window();
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(labelText(notice, "updateNoticeTitle"), c.title);
    EXPECT_EQ(labelText(notice, "updateNoticeMessage"), c.message);
    QTest::keyClick(notice, Qt::Key_Escape);
    EXPECT_EQ(log_, (Log{"prepare", "ack"}));
  }
}

TEST_F(UpdateWindowsTest, DriverDismissalAndFocusReachTheNotice) {
  UpdateUserDriver driver;
  driver.showUpdaterError(platform::UpdateError::feedInvalid("line 1"), logger("ack"));
  QPointer<QDialog> notice = driver.notice().window();
  ASSERT_NE(notice, nullptr);
  notice->hide();
  driver.showUpdateInFocus();
  EXPECT_TRUE(notice->isVisible());
  EXPECT_TRUE(log_.empty());

  driver.dismissUpdateInstallation();
  EXPECT_EQ(driver.notice().window(), nullptr);
  EXPECT_EQ(log_, Log{"ack"});
  // "OK" after the dismissal does nothing more.
  if (notice) QTest::mouseClick(buttonOf(notice, "updateNoticeOKButton"), Qt::LeftButton);
  EXPECT_EQ(log_, Log{"ack"});

  // Without a notice, focus goes to the standard window.
  driver.showUserInitiatedUpdateCheck(logger("cancel"));
  driver.window()->hide();
  driver.showUpdateInFocus();
  EXPECT_TRUE(driver.window()->isVisible());
  driver.dismissUpdateInstallation();
  EXPECT_EQ(log_, Log{"ack"});
}

}  // namespace
}  // namespace veltovoice
