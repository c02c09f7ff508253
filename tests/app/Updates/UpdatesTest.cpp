#include "app/Updates/Updates.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <QApplication>
#include <QDateTime>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/AppLog.h"
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
      {"valid", [](auto&) {}, kStarted, true},
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

    // An unusable service starts no check, and a usable one none while automatic is off.
    updates->check();
    EXPECT_EQ(prepared_, 1);
    if (!c.configured) {
      testsupport::settleEvents();
      EXPECT_EQ(feed_.feedRequests(), 0);
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

}  // namespace
}  // namespace veltovoice
