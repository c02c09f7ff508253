#include "app/Updates/StandardUserDriver.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "platform/sys/Error.h"
#include "platform/update/UpdateError.h"
#include "platform/update/Updater.h"
#include "platform/update/UpdaterDelegate.h"
#include "tests/support/UpdateFeedFake.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Answers = std::vector<std::string>;

QApplication& application() {
  static int argc = 1;
  static char name[] = "update_driver_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Runs the event loop until `done` holds or a generous limit passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 15000); }

QString textOf(QDialog* window, const char* name) {
  auto* label = window->findChild<QLabel*>(name);
  return label != nullptr ? label->text() : QString();
}

// Ways a person closes an update window.
enum class Way { button, returnKey, escapeKey, titleBar };

void closeWindow(QDialog* window, Way way, const char* button) {
  switch (way) {
    case Way::button:
      QTest::mouseClick(window->findChild<QPushButton*>(button), Qt::LeftButton);
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
  }
}

class StandardUserDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { application(); }

  // Opens each step the way the updater does, each answer logged as text.
  void open(const std::string& step) {
    const auto log = [this](std::string answer) { answers_.push_back(std::move(answer)); };
    if (step == "checking") {
      driver_.showUserInitiatedUpdateCheck([log] { log("cancel"); });
    } else if (step == "found") {
      driver_.showUpdateFound(item_, platform::UpdateState{.userInitiated = true},
                              [log](platform::UpdateChoice choice) {
                                log(choice == platform::UpdateChoice::install ? "install" : "later");
                              });
    } else if (step == "download") {
      driver_.showDownloadInitiated([log] { log("cancel"); });
    } else if (step == "ready") {
      driver_.showReadyToInstallAndRelaunch([log](bool install) { log(install ? "relaunch" : "decline"); });
    } else if (step == "not found") {
      driver_.showUpdateNotFound(platform::UpdateError::noUpdate("1.0.0"), [log] { log("ack"); });
    } else if (step == "error") {
      driver_.showUpdaterError(platform::UpdateError::feedInvalid("line 1"), [log] { log("ack"); });
    }
  }

  platform::UpdateItem item_{.displayVersionString = "1.1.0", .versionString = "2"};
  StandardUserDriver driver_;
  Answers answers_;
};

TEST_F(StandardUserDriverTest, EveryWayOfClosingAWindowAnswersExactlyOnce) {
  struct Case {
    const char* step;
    Way way;
    const char* button;
    const char* answer;
  };
  const Case cases[] = {
      {"checking", Way::button, "updateCancelButton", "cancel"},
      {"checking", Way::escapeKey, nullptr, "cancel"},
      {"checking", Way::titleBar, nullptr, "cancel"},
      {"found", Way::button, "updateInstallButton", "install"},
      {"found", Way::button, "updateLaterButton", "later"},
      {"found", Way::returnKey, nullptr, "install"},
      {"found", Way::escapeKey, nullptr, "later"},
      {"found", Way::titleBar, nullptr, "later"},
      {"download", Way::button, "updateCancelButton", "cancel"},
      {"download", Way::titleBar, nullptr, "cancel"},
      {"ready", Way::button, "updateRelaunchButton", "relaunch"},
      {"ready", Way::button, "updateCancelButton", "decline"},
      {"ready", Way::escapeKey, nullptr, "decline"},
      {"ready", Way::titleBar, nullptr, "decline"},
      {"not found", Way::button, "updateOKButton", "ack"},
      {"not found", Way::returnKey, nullptr, "ack"},
      {"not found", Way::escapeKey, nullptr, "ack"},
      {"error", Way::button, "updateOKButton", "ack"},
      {"error", Way::titleBar, nullptr, "ack"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + (c.button != nullptr ? c.button : "") + " way " +
                 std::to_string(static_cast<int>(c.way)));
    answers_.clear();
    open(c.step);
    QPointer<QDialog> window = driver_.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    closeWindow(window, c.way, c.button);
    EXPECT_EQ(answers_, Answers{c.answer});
    EXPECT_EQ(driver_.window(), nullptr);
    // A second press on a window on its way out answers nothing more.
    if (window) closeWindow(window, c.way, c.button);
    EXPECT_TRUE(waitUntil([&] { return window.isNull(); }));
    EXPECT_EQ(answers_, Answers{c.answer});
  }
}

TEST_F(StandardUserDriverTest, NewStepOrDismissalClosesTheOpenWindowWithoutAnswering) {
  open("found");
  QPointer<QDialog> found = driver_.window();
  open("download");
  EXPECT_EQ(driver_.window()->objectName(), "updateDownloadWindow");
  EXPECT_TRUE(found.isNull() || !found->isVisible());

  QPointer<QDialog> download = driver_.window();
  driver_.dismissUpdateInstallation();
  EXPECT_EQ(driver_.window(), nullptr);
  EXPECT_TRUE(waitUntil([&] { return found.isNull() && download.isNull(); }));
  EXPECT_TRUE(answers_.empty());
  // Nothing open: these do nothing.
  driver_.dismissUpdateInstallation();
  driver_.showUpdateInFocus();
  driver_.showDownloadProgress(10, 20);
}

TEST_F(StandardUserDriverTest, FocusBringsBackAHiddenWindow) {
  open("checking");
  driver_.window()->hide();
  driver_.showUpdateInFocus();
  EXPECT_TRUE(driver_.window()->isVisible());
  EXPECT_TRUE(answers_.empty());
}

TEST_F(StandardUserDriverTest, WindowsShowTheirTextsAsPlainText) {
  struct Case {
    const char* name;
    std::function<void()> show;
    const char* window;
    QString heading;
    QString message;
  };
  const Case cases[] = {
      {"found", [this] { open("found"); }, "updateFoundWindow", "新しいバージョンの VELTO VOICE があります",
       "VELTO VOICE 1.1.0 を利用できます。今すぐダウンロードしてインストールしますか？"},
      {"markup in the feed's version",
       [this] {
         driver_.showUpdateFound(platform::UpdateItem{.displayVersionString = "<b>1.1</b>", .versionString = "2"},
                                 {}, [](platform::UpdateChoice) {});
       },
       "updateFoundWindow", "新しいバージョンの VELTO VOICE があります",
       "VELTO VOICE <b>1.1</b> を利用できます。今すぐダウンロードしてインストールしますか？"},
      {"not found", [this] { open("not found"); }, "updateNotFoundAlert", "最新版を使用しています。",
       "VELTO VOICE 1.0.0 が最新のバージョンです。"},
      {"update error with its reason",
       [this] { driver_.showUpdaterError(platform::UpdateError::archiveUnsafe("<a href=x>../../x</a>"), [] {}); },
       "updateErrorAlert", "更新ファイルに安全でない項目があります。", "<a href=x>../../x</a>"},
      {"refusal of the application",
       [this] {
         driver_.showUpdaterError(platform::Error("NSError", "VeltoVoiceUpdates", 2, "録音中は更新できません。"), [] {});
       },
       "updateErrorAlert", "録音中は更新できません。", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.show();
    QDialog* window = driver_.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->objectName(), c.window);
    EXPECT_EQ(textOf(window, "updateHeading"), c.heading);
    EXPECT_EQ(textOf(window, "updateMessage"), c.message);
    for (auto* label : window->findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
  }
}

TEST_F(StandardUserDriverTest, DownloadProgressCountsThousandthsOfAnyArchiveSize) {
  struct Case {
    const char* name;
    std::int64_t received;
    std::int64_t expected;
    int maximum;  // 0: a busy bar
    int value;
  };
  const Case cases[] = {
      {"start", 0, 100, 1000, 0},
      {"half", 50, 100, 1000, 500},
      {"half of six gigabytes", 3'000'000'000, 6'000'000'000, 1000, 500},
      {"more than announced", 7'000'000'000, 6'000'000'000, 1000, 1000},
      {"size unknown", 10, 0, 0, 0},
  };
  open("download");
  auto* bar = driver_.window()->findChild<QProgressBar*>("updateProgress");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->maximum(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver_.showDownloadProgress(c.received, c.expected);
    EXPECT_EQ(bar->maximum(), c.maximum);
    if (c.maximum > 0) {
      EXPECT_EQ(bar->value(), c.value);
    }
    EXPECT_FALSE(textOf(driver_.window(), "updateProgressText").isEmpty());
  }

  // Progress for a window that is no longer the download's changes nothing.
  open("ready");
  driver_.showDownloadProgress(1, 2);
  EXPECT_EQ(driver_.window()->findChild<QProgressBar*>("updateProgress"), nullptr);
}

// Refuses every installation, as the application does while it records.
class RefusingDelegate : public platform::UpdaterDelegate {
 public:
  void mayProceedWithInstalling(const platform::UpdateItem&) override {
    if (refuse) throw platform::Error("NSError", "VeltoVoiceUpdates", 2, "録音中は更新できません。");
  }
  bool refuse = false;
};

// The driver in front of the real updater and its loopback feed.
class StandardUserDriverUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override { application(); }

  std::unique_ptr<platform::Updater> startUpdater(platform::ApplicationInformation information) {
    auto updater = std::make_unique<platform::Updater>(
        std::move(information), driver_, delegate_,
        feed_.environment([this](const fs::path& program) { relaunched_ = program; }));
    updater->setAutomaticallyChecksForUpdates(false);
    updater->start();
    return updater;
  }

  // Waits for the window named `name` and returns it (null when it never came).
  QDialog* waitForWindow(const char* name) {
    waitUntil([&] { return driver_.window() != nullptr && driver_.window()->objectName() == name; });
    QDialog* window = driver_.window();
    return window != nullptr && window->objectName() == name ? window : nullptr;
  }

  static void click(QDialog* window, const char* button) {
    QTest::mouseClick(window->findChild<QPushButton*>(button), Qt::LeftButton);
  }

  testsupport::UpdateFeedFake feed_;
  StandardUserDriver driver_;
  RefusingDelegate delegate_;
  std::optional<fs::path> relaunched_;
};

TEST_F(StandardUserDriverUpdaterTest, InstallingThroughTheDialogsReplacesTheProgramAndRelaunches) {
  auto updater = startUpdater(feed_.information());
  updater->checkForUpdates();
  EXPECT_EQ(driver_.window()->objectName(), "updateCheckingWindow");

  QDialog* found = waitForWindow("updateFoundWindow");
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(textOf(found, "updateMessage").contains("1.1.0"));
  click(found, "updateInstallButton");

  QDialog* ready = waitForWindow("updateReadyWindow");
  ASSERT_NE(ready, nullptr);
  click(ready, "updateRelaunchButton");
  ASSERT_TRUE(waitUntil([&] { return relaunched_.has_value(); }));
  EXPECT_EQ(*relaunched_, feed_.installation() / "bin/veltovoice");
  EXPECT_EQ(feed_.installedProgram(), "new program");
  EXPECT_EQ(driver_.window(), nullptr);
  EXPECT_FALSE(updater->sessionInProgress());
}

TEST_F(StandardUserDriverUpdaterTest, CancellingTheDownloadLeavesNothingBehind) {
  feed_.withholdSecondHalfOfArchive();
  auto updater = startUpdater(feed_.information());
  updater->checkForUpdates();
  QDialog* found = waitForWindow("updateFoundWindow");
  ASSERT_NE(found, nullptr);
  click(found, "updateInstallButton");

  QDialog* download = waitForWindow("updateDownloadWindow");
  ASSERT_NE(download, nullptr);
  auto* bar = download->findChild<QProgressBar*>("updateProgress");
  ASSERT_TRUE(waitUntil([&] { return bar->maximum() == 1000 && bar->value() > 0; }));
  EXPECT_LT(bar->value(), 1000);
  click(download, "updateCancelButton");

  ASSERT_TRUE(waitUntil([&] { return !updater->sessionInProgress(); }));
  feed_.releaseArchive();
  EXPECT_EQ(driver_.window(), nullptr);
  EXPECT_FALSE(relaunched_);
  EXPECT_EQ(feed_.installedProgram(), "old program");
  EXPECT_TRUE(!fs::exists(feed_.downloadFolder()) || fs::is_empty(feed_.downloadFolder()));
}

TEST_F(StandardUserDriverUpdaterTest, UpdaterGoingAwayClosesItsWindows) {
  auto updater = startUpdater(feed_.information());
  updater->checkForUpdates();
  QPointer<QDialog> found = waitForWindow("updateFoundWindow");
  ASSERT_NE(found, nullptr);
  updater.reset();
  // Its buttons would answer into the destroyed updater.
  EXPECT_EQ(driver_.window(), nullptr);
  EXPECT_TRUE(waitUntil([&] { return found.isNull(); }));
}

TEST_F(StandardUserDriverUpdaterTest, OutcomesWithoutAnInstallationEndInAnAlert) {
  feed_.server().server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
  });
  struct Case {
    const char* name;
    std::string newestVersion;
    std::string feedPath;
    bool refuse;
    const char* alert;
    QString heading;
  };
  const Case cases[] = {
      {"no newer build", "1", "/feed.xml", false, "updateNotFoundAlert", "最新版を使用しています。"},
      {"feed missing", "2", "/missing", false, "updateErrorAlert", "更新情報を取得できませんでした。"},
      {"installation refused", "2", "/feed.xml", true, "updateErrorAlert", "録音中は更新できません。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    feed_.setNewestRelease(c.newestVersion, c.newestVersion == "1" ? "1.0.0" : "1.1.0");
    delegate_.refuse = c.refuse;
    platform::ApplicationInformation information = feed_.information();
    information.feedURL = feed_.server().url(c.feedPath);
    auto updater = startUpdater(information);
    updater->checkForUpdates();
    if (c.refuse) {
      QDialog* found = waitForWindow("updateFoundWindow");
      ASSERT_NE(found, nullptr);
      click(found, "updateInstallButton");
    }
    QDialog* alert = waitForWindow(c.alert);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(textOf(alert, "updateHeading"), c.heading);
    EXPECT_TRUE(updater->sessionInProgress());
    click(alert, "updateOKButton");
    EXPECT_FALSE(updater->sessionInProgress());
    EXPECT_EQ(driver_.window(), nullptr);
  }
  EXPECT_EQ(feed_.archiveRequests(), 0);
  EXPECT_EQ(feed_.installedProgram(), "old program");
}

}  // namespace
}  // namespace veltovoice
