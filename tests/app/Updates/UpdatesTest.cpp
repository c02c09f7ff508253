#include "app/Updates/Updates.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/AppLog.h"
#include "app/Shell/UpdateCommands.h"
#include "app/Updates/UpdatePromptWindow.h"
#include "app/Updates/UpdateUserDriver.h"
#include "platform/sys/FileIO.h"
#include "platform/update/UpdateError.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/NotificationServerFake.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/UpdateFeedFake.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using testsupport::NotificationServerFake;
using testsupport::processEventsUntil;

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

QSettings preferences() { return QSettings("VeltoVoice", "VeltoVoice"); }

std::string informationText(const platform::ApplicationInformation& information) {
  return fmt::format("shortVersion={}\nbuildVersion={}\nfeedURL={}\npublicKey={}\ncaBundlePath={}\n",
                     information.shortVersion, information.buildVersion, information.feedURL,
                     information.publicKey, information.caBundlePath);
}

// The service in front of the real updater and the loopback feed, with its preferences, its log
// and the program's information in a folder of its own.
class UpdatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before the application touches settings or the log, which read these folders once.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((folder_ / "config").string()));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((folder_ / "data").string()));
    application();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString((folder_ / "config").string()));
    preferences().clear();
    writeInformation(feed_.information());
  }

  void TearDown() override { qunsetenv("VELTOVOICE_APPLICATION_INFO"); }

  void writeInformation(const platform::ApplicationInformation& information) {
    platform::writeFileAtomically(folder_ / "information", informationText(information));
    qputenv("VELTOVOICE_APPLICATION_INFO", QByteArray::fromStdString((folder_ / "information").string()));
  }

  // A service on the fake feed, automatic as asked, not started.
  std::unique_ptr<Updates> makeUpdates(bool automatic) {
    preferences().setValue("automaticUpdates", automatic);
    auto updates = std::make_unique<Updates>();
    updates->setClock(clock_);
    updates->setUpdaterEnvironment(feed_.environment([this](const fs::path& program) { relaunched_ = program; }));
    updates->setPrepareUI([this] { ++prepared_; });
    updates->setCanInstall([this] { return canInstall_; });
    return updates;
  }

  bool waitForStatus(const Updates& updates, const QString& status) {
    return processEventsUntil([&] { return updates.status() == status; });
  }

  platform::UpdateItem item(const std::string& build, const std::string& displayVersion) {
    return platform::UpdateItem{.displayVersionString = displayVersion,
                                .versionString = build,
                                .fileURL = feed_.server().url("/release.tar.gz")};
  }

  // What the updater tells the service when a scheduled check finds `found`.
  static void scheduledCheckFinds(Updates& updates, const platform::UpdateItem& found) {
    updates.didFindValidUpdate(found);
    if (updates.supportsGentleScheduledUpdateReminders() && !updates.shouldHandleShowingScheduledUpdate(found)) {
      updates.willHandleShowingUpdate(false, found, platform::UpdateState{.userInitiated = false});
    }
  }

  QDateTime now() const {
    return QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now().time_since_epoch()).count(), Qt::UTC);
  }

  bool waitForNotifiedBuild(const QString& build) {
    return processEventsUntil([&] { return preferences().value("lastNotifiedUpdateBuild").toString() == build; });
  }

  std::string logText() {
    AppLog::flush();
    const fs::path log = AppLog::directory() / "veltovoice.log";
    return fs::exists(log) ? platform::readFile(log) : std::string();
  }

  testsupport::TemporaryFolder folder_;
  testsupport::UpdateFeedFake feed_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::optional<fs::path> relaunched_;
  bool canInstall_ = true;
  int prepared_ = 0;
};

const QString kStarted = "起動時と1時間ごとに確認。取得・適用は選んでから";
const QString kUnconfigured = "更新先の設定を読み込めませんでした";

TEST_F(UpdatesTest, StatusTellsHowTheStartWent) {
  struct Case {
    const char* name;
    std::function<void(platform::ApplicationInformation&)> change;
    QString status;
    bool configured;
  };
  const Case cases[] = {
      {"missing address", [](auto& information) { information.feedURL.clear(); }, kUnconfigured, false},
      {"plain http address",
       [](auto& information) { information.feedURL.replace(0, std::string("https").size(), "http"); },
       kUnconfigured, false},
      {"address with a fragment", [](auto& information) { information.feedURL += "#top"; }, kUnconfigured, false},
      {"missing key", [](auto& information) { information.publicKey.clear(); }, kUnconfigured, false},
      {"key of 33 bytes",
       [](auto& information) { information.publicKey = QByteArray(33, 'k').toBase64().toStdString(); },
       kUnconfigured, false},
      {"updater refuses the build version", [](auto& information) { information.buildVersion.clear(); },
       "更新を開始できませんでした：更新先の設定が正しくありません。", false},
      // Last: its check reaches the feed, which the cases above count on staying untouched.
      {"valid", [](auto&) {}, kStarted, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ApplicationInformation information = feed_.information();
    c.change(information);
    writeInformation(information);
    auto updates = makeUpdates(false);
    EXPECT_EQ(updates->status(), "起動時と1時間ごとに最新版を確認します");
    QSignalSpy statusChanges(updates.get(), &Updates::statusChanged);
    updates->start();
    EXPECT_EQ(updates->status(), c.status);
    EXPECT_EQ(statusChanges.count(), 1);
    EXPECT_EQ(updates->configured(), c.configured);
    EXPECT_EQ(updates->feed().has_value(), c.status != kUnconfigured);

    // An unusable service starts no check when asked.
    const int requestsBefore = feed_.feedRequests();
    updates->check();
    EXPECT_EQ(prepared_, 1);
    if (!c.configured) {
      testsupport::settleEvents();
      EXPECT_EQ(feed_.feedRequests(), requestsBefore);
    }
    prepared_ = 0;
  }
}

TEST_F(UpdatesTest, UnreadableInformationCountsAsMissingEntries) {
  qputenv("VELTOVOICE_APPLICATION_INFO", QByteArray::fromStdString((folder_ / "no such file").string()));
  auto updates = makeUpdates(true);
  updates->start();
  EXPECT_EQ(updates->status(), kUnconfigured);
  EXPECT_FALSE(updates->configured());
  EXPECT_EQ(updates->engine(), nullptr);
}

TEST_F(UpdatesTest, StartingTwiceStartsTheUpdaterOnce) {
  auto updates = makeUpdates(true);
  updates->start();
  platform::Updater* engine = updates->engine();
  ASSERT_NE(engine, nullptr);
  updates->start();
  EXPECT_EQ(updates->engine(), engine);
  ASSERT_TRUE(waitForStatus(*updates, "バージョン 1.1.0 を利用できます"));
  testsupport::settleEvents();
  EXPECT_EQ(feed_.feedRequests(), 1);
}

TEST_F(UpdatesTest, CheckOutcomesSetStatusAndVersion) {
  feed_.server().server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
  });
  struct Case {
    const char* name;
    std::string newestVersion;
    std::string feedPath;
    QString status;
    std::optional<QString> availableVersion;
    bool logged;
  };
  const Case cases[] = {
      {"newer build", "2", "/feed.xml", "バージョン 1.1.0 を利用できます", "1.1.0", false},
      {"no newer build", "1", "/feed.xml", "最新版を使用しています", std::nullopt, false},
      {"feed missing", "2", "/missing", "更新を確認できませんでした：更新情報を取得できませんでした。", std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    feed_.setNewestRelease(c.newestVersion, c.newestVersion == "1" ? "1.0.0" : "1.1.0");
    platform::ApplicationInformation information = feed_.information();
    information.feedURL = feed_.server().url(c.feedPath);
    writeInformation(information);
    const std::string logBefore = logText();
    auto updates = makeUpdates(true);
    updates->start();
    ASSERT_TRUE(waitForStatus(*updates, c.status));
    EXPECT_EQ(updates->availableVersion(), c.availableVersion);
    const std::string logged = logText().substr(logBefore.size());
    if (c.logged) {
      EXPECT_NE(logged.find("[ERROR]"), std::string::npos) << logged;
      EXPECT_NE(logged.find("更新の確認の失敗: UpdateError VeltoUpdate#3: 更新情報を取得できませんでした。"),
                std::string::npos)
          << logged;
      EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
    } else {
      EXPECT_EQ(logged, "");
    }
  }
}

TEST_F(UpdatesTest, CheckFindingNoUpdateClearsTheVersionFoundBefore) {
  auto updates = makeUpdates(true);
  QSignalSpy versionChanges(updates.get(), &Updates::availableVersionChanged);
  updates->start();
  ASSERT_TRUE(processEventsUntil([&] { return updates->availableVersion() == QString("1.1.0"); }));
  feed_.setNewestRelease("1", "1.0.0");
  updates->engine()->checkForUpdatesInBackground();
  ASSERT_TRUE(waitForStatus(*updates, "最新版を使用しています"));
  EXPECT_EQ(updates->availableVersion(), std::nullopt);
  EXPECT_EQ(versionChanges.count(), 2);
}

TEST_F(UpdatesTest, ReminderComesAtMostOncePerDayForEachBuild) {
  struct Case {
    const char* name;
    std::optional<QString> lastBuild;
    QVariant lastDate;  // a QDateTime relative to now, anything else, or nothing
    std::string build;
    bool shown;
  };
  const auto ago = [this](double seconds) { return QVariant(now().addMSecs(static_cast<qint64>(-seconds * 1000))); };
  const Case cases[] = {
      {"first reminder", std::nullopt, QVariant(), "2", true},
      {"same build an hour ago", "2", ago(3600), "2", false},
      {"same build a second short of a day", "2", ago(86399), "2", false},
      {"same build a day ago", "2", ago(86400), "2", true},
      {"newer build an hour after the last", "2", ago(3600), "3", true},
      {"same build without a date", "2", QVariant(), "2", true},
      {"same build with a date that is none", "2", QVariant("gestern"), "2", true},
      {"date in the future after the clock went back", "2", ago(-3600), "2", true},
      {"update without a build an hour ago", "", ago(3600), "", false},
      {"update without a build after another", "2", ago(3600), "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    preferences().clear();
    if (c.lastBuild) preferences().setValue("lastUpdatePromptBuild", *c.lastBuild);
    if (c.lastDate.isValid()) preferences().setValue("lastUpdatePromptDate", c.lastDate);
    auto updates = makeUpdates(true);
    scheduledCheckFinds(*updates, item(c.build, "1.1.0"));
    EXPECT_EQ(updates->availableVersion(), QString("1.1.0"));
    EXPECT_EQ(updates->prompt().window() != nullptr, c.shown);
    QSettings settings = preferences();
    if (c.shown) {
      EXPECT_EQ(settings.value("lastUpdatePromptBuild"), QVariant(QString::fromStdString(c.build)));
      EXPECT_EQ(settings.value("lastUpdatePromptDate").toDateTime(), now());
    } else {
      EXPECT_EQ(settings.value("lastUpdatePromptBuild"), QVariant(*c.lastBuild));
      EXPECT_EQ(settings.value("lastUpdatePromptDate"), c.lastDate);
    }
  }
}

TEST_F(UpdatesTest, TwoChecksForTheSameBuildRemindOnceADay) {
  auto updates = makeUpdates(true);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_NE(updates->prompt().window(), nullptr);
  updates->prompt().close();
  clock_->advance(3600);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  EXPECT_EQ(updates->prompt().window(), nullptr);
  clock_->advance(86400 - 3600);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  EXPECT_NE(updates->prompt().window(), nullptr);
}

TEST_F(UpdatesTest, NoReminderWhileAutomaticIsOffOrTheModelIsBusy) {
  struct Case {
    const char* name;
    bool automatic;
    bool canInstall;
  };
  const Case cases[] = {{"automatic off", false, true}, {"model busy", true, false}};
  NotificationServerFake server;
  ASSERT_TRUE(server.isRegistered());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    preferences().clear();
    canInstall_ = c.canInstall;
    auto updates = makeUpdates(c.automatic);
    scheduledCheckFinds(*updates, item("2", "1.1.0"));
    EXPECT_EQ(updates->availableVersion(), QString("1.1.0"));
    EXPECT_EQ(updates->status(), "バージョン 1.1.0 を利用できます");
    EXPECT_EQ(updates->prompt().window(), nullptr);
    EXPECT_FALSE(preferences().contains("lastUpdatePromptBuild"));
  }
  // Had anything been posted, it would arrive before this one.
  canInstall_ = true;
  auto updates = makeUpdates(true);
  scheduledCheckFinds(*updates, item("3", "1.2.0"));
  ASSERT_TRUE(waitForNotifiedBuild("3"));
  ASSERT_EQ(server.notifications().size(), 1);
  EXPECT_TRUE(server.notifications()[0].body.contains("1.2.0"));
}

TEST_F(UpdatesTest, SwitchingAutomaticOffClosesTheReminderAndIsStored) {
  auto updates = makeUpdates(true);
  QSignalSpy changes(updates.get(), &Updates::automaticChanged);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_NE(updates->prompt().window(), nullptr);
  updates->setAutomatic(false);
  EXPECT_EQ(updates->prompt().window(), nullptr);
  EXPECT_EQ(preferences().value("automaticUpdates"), QVariant(false));
  EXPECT_EQ(changes.count(), 1);
  updates->setAutomatic(false);
  EXPECT_EQ(changes.count(), 1);
  EXPECT_FALSE(makeUpdates(false)->automatic());

  preferences().remove("automaticUpdates");
  EXPECT_TRUE(Updates().automatic());
}

TEST_F(UpdatesTest, UserCheckClosesTheReminderAndLeavesTheRestToTheDriver) {
  auto updates = makeUpdates(true);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_NE(updates->prompt().window(), nullptr);
  updates->check();
  EXPECT_EQ(updates->prompt().window(), nullptr);
  EXPECT_EQ(prepared_, 1);

  // A check the user started that finds the update shows no reminder of its own.
  preferences().clear();
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_NE(updates->prompt().window(), nullptr);
  preferences().clear();
  updates->didFindValidUpdate(item("3", "1.2.0"));
  updates->willHandleShowingUpdate(true, item("3", "1.2.0"), platform::UpdateState{.userInitiated = true});
  EXPECT_EQ(updates->prompt().window(), nullptr);
  EXPECT_EQ(prepared_, 2);
  EXPECT_EQ(updates->availableVersion(), QString("1.2.0"));
  EXPECT_FALSE(preferences().contains("lastUpdatePromptBuild"));
}

TEST_F(UpdatesTest, NotificationIsPostedOncePerBuild) {
  NotificationServerFake server;
  ASSERT_TRUE(server.isRegistered());
  auto updates = makeUpdates(true);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_TRUE(waitForNotifiedBuild("2"));
  ASSERT_EQ(server.notifications().size(), 1);
  const NotificationServerFake::Notification& posted = server.notifications()[0];
  EXPECT_EQ(posted.summary, "VELTO VOICE の更新があります");
  EXPECT_EQ(posted.body, "バージョン 1.1.0 が利用できます。「更新する」からインストールに進めます。");
  EXPECT_EQ(posted.actions, (QStringList{"default", "", "VeltoVoice.InstallUpdate", "更新する"}));

  // A day later the reminder comes back, the notification does not.
  updates->prompt().close();
  clock_->advance(86400);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  EXPECT_NE(updates->prompt().window(), nullptr);
  scheduledCheckFinds(*updates, item("3", "1.2.0"));
  ASSERT_TRUE(waitForNotifiedBuild("3"));
  ASSERT_EQ(server.notifications().size(), 2);
  EXPECT_TRUE(server.notifications()[1].body.contains("1.2.0"));
  // The newer build replaces the one still shown.
  EXPECT_EQ(server.notifications()[1].replacesId, posted.id);
}

TEST_F(UpdatesTest, FailedPostingFallsBackToTheTrayAndIsTriedAgainAtTheNextCheck) {
  struct Case {
    const char* name;
    bool serviceRunning;
  };
  const Case cases[] = {{"service refuses", true}, {"no service", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    preferences().clear();
    prepared_ = 0;
    std::optional<NotificationServerFake> server;
    if (c.serviceRunning) {
      server.emplace();
      server->setFailing(true);
    }
    QSystemTrayIcon tray;
    auto updates = makeUpdates(false);
    updates->setTrayIcon(&tray);
    updates->start();
    updates->setAutomatic(true);
    scheduledCheckFinds(*updates, item("2", "1.1.0"));
    EXPECT_NE(updates->prompt().window(), nullptr);
    // Once the tray's message stands in, a click on it is the notification's click.
    ASSERT_TRUE(processEventsUntil([&] {
      emit tray.messageClicked();
      return prepared_ > 0;
    }));
    EXPECT_EQ(updates->prompt().window(), nullptr);
    EXPECT_FALSE(preferences().contains("lastNotifiedUpdateBuild"));

    if (server) {
      server->setFailing(false);
    } else {
      server.emplace();
    }
    ASSERT_TRUE(server->isRegistered());
    scheduledCheckFinds(*updates, item("2", "1.1.0"));
    ASSERT_TRUE(waitForNotifiedBuild("2"));
    EXPECT_EQ(server->notifications().size(), 1);
  }
}

// A feed that answers only when the test lets it, so that a check the user started stays open.
class HeldFeed {
 public:
  explicit HeldFeed(testsupport::UpdateFeedFake& feed) {
    feed.server().server().Get("/held.xml", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      // Bounded, so that a failing test cannot keep the server from stopping.
      released_.wait_for(lock, std::chrono::seconds(120), [this] { return !holding_; });
      response.status = 503;
    });
  }
  ~HeldFeed() { release(); }

  void release() {
    {
      std::scoped_lock lock(mutex_);
      holding_ = false;
    }
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool holding_ = true;
};

TEST_F(UpdatesTest, NotificationClickAndItsUpdateActionStartAUserCheck) {
  HeldFeed held(feed_);
  platform::ApplicationInformation information = feed_.information();
  information.feedURL = feed_.server().url("/held.xml");
  writeInformation(information);
  NotificationServerFake server;
  ASSERT_TRUE(server.isRegistered());
  auto updates = makeUpdates(false);
  updates->start();
  ASSERT_TRUE(updates->configured());
  updates->setAutomatic(true);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_TRUE(waitForNotifiedBuild("2"));
  const uint id = server.notifications()[0].id;

  struct Case {
    const char* name;
    uint id;
    QString action;
    int checks;
  };
  const Case cases[] = {
      {"click", id, "default", 1},
      {"更新する", id, "VeltoVoice.InstallUpdate", 1},
      {"other action", id, "VeltoVoice.Other", 0},
      {"other notification", id + 7, "default", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepared_ = 0;
    server.invokeAction(c.id, c.action);
    // Signals keep their order: once this click is seen, the one before it has been too.
    server.invokeAction(id, "default");
    ASSERT_TRUE(processEventsUntil([&] { return prepared_ >= c.checks + 1; }));
    testsupport::settleEvents();
    EXPECT_EQ(prepared_, c.checks + 1);
  }
  // The checks the user started wait on the held feed: one started, the rest brought it forward.
  EXPECT_TRUE(updates->engine()->sessionInProgress());
  ASSERT_NE(updates->driver()->window(), nullptr);
  EXPECT_EQ(updates->driver()->window()->objectName(), "updateCheckingWindow");
  held.release();
}

TEST_F(UpdatesTest, AttentionAndSessionEndCloseTheReminderAndTheNotification) {
  NotificationServerFake server;
  ASSERT_TRUE(server.isRegistered());
  auto updates = makeUpdates(true);
  scheduledCheckFinds(*updates, item("2", "1.1.0"));
  ASSERT_TRUE(waitForNotifiedBuild("2"));
  const uint id = server.notifications()[0].id;

  updates->didReceiveUserAttention(item("2", "1.1.0"));
  EXPECT_EQ(updates->prompt().window(), nullptr);
  ASSERT_TRUE(processEventsUntil([&] { return server.closed().size() == 1; }));
  EXPECT_EQ(server.closed()[0], id);
  EXPECT_EQ(updates->availableVersion(), QString("1.1.0"));

  scheduledCheckFinds(*updates, item("3", "1.2.0"));
  ASSERT_TRUE(waitForNotifiedBuild("3"));
  ASSERT_NE(updates->prompt().window(), nullptr);
  updates->willFinishUpdateSession();
  EXPECT_EQ(updates->prompt().window(), nullptr);
  EXPECT_EQ(updates->availableVersion(), std::nullopt);
  ASSERT_TRUE(processEventsUntil([&] { return server.closed().size() == 2; }));
  EXPECT_EQ(server.closed()[1], server.notifications()[1].id);
}

TEST_F(UpdatesTest, InstallationIsRefusedWhileBusyOrFromAnotherSource) {
  const std::string busy = "録音中は更新できません。録音を終えてから、もう一度「アップデートを確認」を選んでください。";
  const std::string untrusted = "更新ファイルの配布元を確認できませんでした。";
  const std::string archive = feed_.server().url("/release.tar.gz");
  const std::string authority = archive.substr(std::string("https://").size());
  const int port = QUrl(QString::fromStdString(archive)).port();
  struct Case {
    const char* name;
    std::string fileURL;
    bool canInstall;
    int code;  // 0: allowed
    std::string message;
  };
  const Case cases[] = {
      {"feed's host", archive, true, 0, ""},
      {"feed's host on another port", fmt::format("https://127.0.0.1:{}/release.tar.gz", port + 1), true, 0, ""},
      {"model busy", archive, false, 2, busy},
      {"model busy and another host", fmt::format("https://localhost:{}/release.tar.gz", port), false, 2, busy},
      {"another host", fmt::format("https://localhost:{}/release.tar.gz", port), true, 1, untrusted},
      {"plain http", "http://" + authority, true, 1, untrusted},
      {"user", "https://me@" + authority, true, 1, untrusted},
      {"user and password", "https://me:secret@" + authority, true, 1, untrusted},
      {"no address", "", true, 1, untrusted},
      {"not an address", "release.tar.gz", true, 1, untrusted},
  };
  auto updates = makeUpdates(false);
  updates->start();
  ASSERT_TRUE(updates->configured());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    canInstall_ = c.canInstall;
    platform::UpdateItem update = item("2", "1.1.0");
    update.fileURL = c.fileURL;
    if (c.code == 0) {
      EXPECT_NO_THROW(updates->mayProceedWithInstalling(update));
      continue;
    }
    try {
      updates->mayProceedWithInstalling(update);
      ADD_FAILURE() << "installation allowed";
    } catch (const platform::Error& refusal) {
      EXPECT_EQ(refusal.domain(), "VeltoVoiceUpdates");
      EXPECT_EQ(refusal.code(), c.code);
      EXPECT_EQ(refusal.description(), c.message);
    }
  }
}

TEST_F(UpdatesTest, InstallationStartedWhileRecordingEndsInTheNotice) {
  canInstall_ = false;
  auto updates = makeUpdates(false);
  updates->start();
  updates->check();
  UpdateUserDriver* driver = updates->driver();
  ASSERT_TRUE(processEventsUntil(
      [&] { return driver->window() != nullptr && driver->window()->objectName() == "updateFoundWindow"; }));
  EXPECT_EQ(updates->availableVersion(), QString("1.1.0"));
  QTest::mouseClick(driver->window()->findChild<QPushButton*>("updateInstallButton"), Qt::LeftButton);

  ASSERT_TRUE(processEventsUntil([&] { return driver->notice().window() != nullptr; }));
  QDialog* notice = driver->notice().window();
  EXPECT_EQ(notice->findChild<QLabel*>("updateNoticeTitle")->text(),
            "録音中は更新できません。録音を終えてから、もう一度「アップデートを確認」を選んでください。");
  EXPECT_EQ(notice->findChild<QLabel*>("updateNoticeMessage")->text(), "");
  QTest::mouseClick(notice->findChild<QPushButton*>("updateNoticeOKButton"), Qt::LeftButton);
  EXPECT_FALSE(updates->engine()->sessionInProgress());
  EXPECT_EQ(updates->availableVersion(), std::nullopt);
  EXPECT_EQ(feed_.archiveRequests(), 0);
  EXPECT_EQ(feed_.installedProgram(), "old program");
  EXPECT_FALSE(relaunched_);
}

TEST_F(UpdatesTest, UserCheckFindingNothingSaysSoInTheNotice) {
  feed_.setNewestRelease("1", "1.0.0");
  auto updates = makeUpdates(false);
  updates->start();
  updates->check();
  UpdateUserDriver* driver = updates->driver();
  ASSERT_TRUE(processEventsUntil([&] { return driver->notice().window() != nullptr; }));
  EXPECT_EQ(driver->window(), nullptr);
  EXPECT_EQ(driver->notice().window()->findChild<QLabel*>("updateNoticeTitle")->text(), "最新版を使用しています。");
  EXPECT_EQ(updates->status(), "最新版を使用しています");
  QTest::keyClick(driver->notice().window(), Qt::Key_Return);
  EXPECT_FALSE(updates->engine()->sessionInProgress());
}

TEST_F(UpdatesTest, ScheduledCheckRemindsAndNotifiesAndTheReminderLeadsToTheUpdatersDialogs) {
  NotificationServerFake server;
  ASSERT_TRUE(server.isRegistered());
  auto updates = makeUpdates(true);
  UpdateCommands commands(*updates);
  EXPECT_EQ(commands.check()->text(), "アップデートを確認…");
  updates->start();
  ASSERT_TRUE(processEventsUntil([&] { return updates->prompt().window() != nullptr; }));
  EXPECT_EQ(commands.check()->text(), "アップデート（1.1.0）…");
  EXPECT_TRUE(commands.check()->isEnabled());
  EXPECT_EQ(updates->prompt().window()->findChild<QLabel*>("updatePromptHeading")->text(),
            "新しいバージョン 1.1.0 が利用できます");
  EXPECT_EQ(updates->availableVersion(), QString("1.1.0"));
  ASSERT_TRUE(waitForNotifiedBuild("2"));
  ASSERT_EQ(server.notifications().size(), 1);
  const uint id = server.notifications()[0].id;

  // "更新する" in the reminder starts the updater's own dialogs.
  QTest::mouseClick(updates->prompt().window()->findChild<QPushButton*>("updatePromptInstallButton"), Qt::LeftButton);
  EXPECT_EQ(updates->prompt().window(), nullptr);
  UpdateUserDriver* driver = updates->driver();
  ASSERT_TRUE(processEventsUntil(
      [&] { return driver->window() != nullptr && driver->window()->objectName() == "updateFoundWindow"; }));
  EXPECT_GT(prepared_, 0);
  QTest::mouseClick(driver->window()->findChild<QPushButton*>("updateLaterButton"), Qt::LeftButton);
  EXPECT_FALSE(updates->engine()->sessionInProgress());
  EXPECT_EQ(updates->availableVersion(), std::nullopt);
  EXPECT_EQ(commands.check()->text(), "アップデートを確認…");
  ASSERT_TRUE(processEventsUntil([&] { return !server.closed().isEmpty(); }));
  EXPECT_EQ(server.closed()[0], id);
  EXPECT_EQ(server.notifications().size(), 1);
}

}  // namespace
}  // namespace veltovoice
