#include "platform/update/Updater.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/sys/Error.h"
#include "platform/sys/FileIO.h"
#include "platform/update/Installation.h"
#include "platform/update/UpdateDownloader.h"
#include "platform/update/UpdateError.h"
#include "platform/update/UpdaterDelegate.h"
#include "platform/update/UserDriver.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/SelfSignedCertificate.h"
#include "tests/support/SigningKeys.h"
#include "tests/support/TarBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::TarBuilder;

QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "update_engine_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

// Runs the event loop until `done` holds or a generous limit passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 15000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

// Queues a call on the GUI thread, the way a dialog answers later.
void later(std::function<void()> call) {
  QMetaObject::invokeMethod(&application(), std::move(call), Qt::QueuedConnection);
}

std::string describe(const Error& error) { return fmt::format("{}#{}", error.domain(), error.code()); }

// Hooks and driver calls in one log, so that their order across both shows.
struct EventLog {
  std::vector<std::string> events;
  void add(std::string event) {
    // Progress arrives in as many steps as the transfer has chunks; one entry is enough.
    if (!events.empty() && events.back() == event && event == "showDownloadProgress") return;
    events.push_back(std::move(event));
  }
  bool contains(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
};

class RecordingDelegate : public UpdaterDelegate {
 public:
  explicit RecordingDelegate(EventLog& log) : log_(log) {}

  void mayProceedWithInstalling(const UpdateItem& item) override {
    log_.add("mayProceedWithInstalling " + item.versionString);
    if (refusal) throw *refusal;
  }
  void didFindValidUpdate(const UpdateItem& item) override { log_.add("didFindValidUpdate " + item.versionString); }
  void didFinishCheckWithError(const Error& error) override {
    log_.add("didFinishCheckWithError " + describe(error));
    lastError = Error::recordOf(std::make_exception_ptr(error));
    if (const auto* update = dynamic_cast<const UpdateError*>(&error)) lastErrorCode = update->updateCode();
  }
  bool supportsGentleScheduledUpdateReminders() override {
    log_.add("supportsGentleScheduledUpdateReminders");
    return gentle;
  }
  bool shouldHandleShowingScheduledUpdate(const UpdateItem&) override {
    log_.add("shouldHandleShowingScheduledUpdate");
    return false;
  }
  void willHandleShowingUpdate(bool handle, const UpdateItem& item, const UpdateState& state) override {
    log_.add(fmt::format("willHandleShowingUpdate handle={} userInitiated={} {}", handle, state.userInitiated,
                         item.displayVersionString));
  }
  void didReceiveUserAttention(const UpdateItem&) override { log_.add("didReceiveUserAttention"); }
  void willFinishUpdateSession() override { log_.add("willFinishUpdateSession"); }
  void willShowModalAlert() override { log_.add("willShowModalAlert"); }

  bool gentle = false;
  std::optional<Error> refusal;
  std::shared_ptr<const Error> lastError;
  std::optional<UpdateError::Code> lastErrorCode;

 private:
  EventLog& log_;
};

// Answers every question as told, a moment later, as a person at the dialogs would.
class RecordingDriver : public UserDriver {
 public:
  explicit RecordingDriver(EventLog& log) : log_(log) {}

  void showUserInitiatedUpdateCheck(std::function<void()> cancel) override {
    log_.add("showUserInitiatedUpdateCheck");
    cancelCheck = std::move(cancel);
  }
  void showUpdateFound(const UpdateItem& item, const UpdateState&, std::function<void(UpdateChoice)> reply) override {
    log_.add("showUpdateFound " + item.displayVersionString);
    later([reply, choice = choice] { reply(choice); });
  }
  void showDownloadInitiated(std::function<void()>) override { log_.add("showDownloadInitiated"); }
  void showDownloadProgress(std::int64_t received, std::int64_t expected) override {
    log_.add("showDownloadProgress");
    lastReceived = received;
    lastExpected = expected;
  }
  void showReadyToInstallAndRelaunch(std::function<void(bool)> reply) override {
    log_.add("showReadyToInstallAndRelaunch");
    later([reply] { reply(true); });
  }
  void showUpdateNotFound(const UpdateError& error, std::function<void()> acknowledgement) override {
    log_.add("showUpdateNotFound " + describe(error));
    later(std::move(acknowledgement));
  }
  void showUpdaterError(const Error& error, std::function<void()> acknowledgement) override {
    log_.add("showUpdaterError " + describe(error));
    shownError = error.description();
    later(std::move(acknowledgement));
  }
  void dismissUpdateInstallation() override { log_.add("dismissUpdateInstallation"); }
  void showUpdateInFocus() override { log_.add("showUpdateInFocus"); }

  UpdateChoice choice = UpdateChoice::install;
  std::function<void()> cancelCheck;
  std::string shownError;
  std::int64_t lastReceived = 0;
  std::int64_t lastExpected = 0;

 private:
  EventLog& log_;
};

// A release "2" (1.1.0) served over loopback https beside a user-local installation of build "1".
class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application();
    fs::create_directories(root_ / "bin");
    writeFileAtomically(root_ / "bin/veltovoice", "old program");
    writeFileAtomically(root_ / Installation::kMarkerFile, "");
    TarBuilder()
        .file("bin/veltovoice", "new program", 0755)
        .file(Installation::kMarkerFile, "")
        .write(folder_ / "release.tar.gz");
    archive_ = readFile(folder_ / "release.tar.gz");
    setFeed(feedFor("2", "1.1.0", archive_.size(), keys_.signBase64(archive_)));

    server_.server().Get("/feed.xml", [this](const httplib::Request&, httplib::Response& response) {
      ++feedRequests_;
      holdIfAsked();
      std::scoped_lock lock(mutex_);
      response.set_content(feed_, "application/xml");
    });
    server_.server().Get("/release.tar.gz", [this](const httplib::Request&, httplib::Response& response) {
      ++archiveRequests_;
      response.set_content(archive_, "application/gzip");
    });
  }

  void TearDown() override { release(); }

  std::string feedFor(const std::string& version, const std::string& display, std::size_t length,
                      const std::string& signature) const {
    return fmt::format(
        "<?xml version=\"1.0\"?><updates><release version=\"1\" displayVersion=\"1.0.0\" url=\"{0}\" "
        "length=\"{1}\" signature=\"{2}\"/><release version=\"{3}\" displayVersion=\"{4}\" url=\"{0}\" "
        "length=\"{1}\" signature=\"{2}\"/></updates>",
        server_.url("/release.tar.gz"), length, signature, version, display);
  }

  void setFeed(std::string feed) {
    std::scoped_lock lock(mutex_);
    feed_ = std::move(feed);
  }

  // Makes the feed handler wait until release().
  void hold() {
    std::scoped_lock lock(mutex_);
    holding_ = true;
  }
  void release() {
    {
      std::scoped_lock lock(mutex_);
      holding_ = false;
    }
    released_.notify_all();
  }
  void holdIfAsked() {
    std::unique_lock lock(mutex_);
    if (!holding_) return;
    ++heldRequests_;
    released_.wait_for(lock, std::chrono::seconds(10), [this] { return !holding_; });
  }
  int heldRequests() {
    std::scoped_lock lock(mutex_);
    return heldRequests_;
  }

  ApplicationInformation information() const {
    return ApplicationInformation{.shortVersion = "1.0.0",
                                  .buildVersion = "1",
                                  .feedURL = server_.url("/feed.xml"),
                                  .publicKey = keys_.publicKeyBase64(),
                                  .caBundlePath = identity_.certificate.string()};
  }

  UpdaterEnvironment environment() {
    UpdaterEnvironment environment;
    environment.programPath = root_ / "bin/veltovoice";
    environment.homeFolder = home_;
    environment.downloadFolder = folder_ / "cache";
    environment.networkIdleTimeout = 5;
    environment.relaunch = [this](const fs::path& program) { log_.add("relaunch " + program.string()); };
    return environment;
  }

  std::unique_ptr<Updater> makeUpdater(bool automatic = false) {
    auto updater = std::make_unique<Updater>(information(), driver_, delegate_, environment());
    updater->setAutomaticallyChecksForUpdates(automatic);
    updater->start();
    return updater;
  }

  bool waitForSessionEnd(Updater& updater) {
    return waitUntil([&] { return log_.contains("dismissUpdateInstallation") && !updater.sessionInProgress(); });
  }

  testsupport::TemporaryFolder folder_;
  testsupport::TlsIdentity identity_ = testsupport::makeSelfSignedCertificate(folder_.path());
  testsupport::SigningKeys keys_;
  fs::path home_ = fs::canonical(folder_.path()) / "home";
  fs::path root_ = home_ / ".local/opt/VeltoVoice";
  std::string archive_;
  EventLog log_;
  RecordingDelegate delegate_{log_};
  RecordingDriver driver_{log_};
  std::atomic<int> feedRequests_ = 0;
  std::atomic<int> archiveRequests_ = 0;

  std::mutex mutex_;
  std::condition_variable released_;
  std::string feed_;
  bool holding_ = false;
  int heldRequests_ = 0;

  // Last: its handlers use the members above, so it stops before they go.
  testsupport::LoopbackServer server_{identity_};
};

using Events = std::vector<std::string>;

TEST_F(UpdaterTest, UserInitiatedCheckShowsTheNewestReleaseAndLaterEndsTheSession) {
  driver_.choice = UpdateChoice::later;
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_EQ(log_.events, (Events{"showUserInitiatedUpdateCheck", "didFindValidUpdate 2",
                                 "willHandleShowingUpdate handle=true userInitiated=true 1.1.0", "willShowModalAlert",
                                 "showUpdateFound 1.1.0", "didReceiveUserAttention", "willFinishUpdateSession",
                                 "dismissUpdateInstallation"}));
  EXPECT_EQ(archiveRequests_, 0);
}

TEST_F(UpdaterTest, ScheduledUpdateIsLeftToTheApplicationWhenItRemindsGently) {
  delegate_.gentle = true;
  auto updater = makeUpdater();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return log_.events.size() >= 4; }));
  EXPECT_EQ(log_.events, (Events{"didFindValidUpdate 2", "supportsGentleScheduledUpdateReminders",
                                 "shouldHandleShowingScheduledUpdate",
                                 "willHandleShowingUpdate handle=false userInitiated=false 1.1.0"}));
  EXPECT_TRUE(updater->sessionInProgress());

  // The next scheduled check looks again instead of waiting for the user.
  const Events leftToTheApplication = log_.events;
  log_.events.clear();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitUntil([&] { return log_.events.size() >= 4; }));
  EXPECT_EQ(log_.events, leftToTheApplication);
  EXPECT_EQ(feedRequests_, 2);

  // The user's own check later finds it again and shows it.
  log_.events.clear();
  driver_.choice = UpdateChoice::later;
  updater->checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_EQ(log_.events[0], "showUserInitiatedUpdateCheck");
  EXPECT_TRUE(log_.contains("willHandleShowingUpdate handle=true userInitiated=true 1.1.0"));
  EXPECT_TRUE(log_.contains("showUpdateFound 1.1.0"));
}

TEST_F(UpdaterTest, ScheduledUpdateIsShownByTheDriverWithoutGentleReminders) {
  driver_.choice = UpdateChoice::later;
  auto updater = makeUpdater();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_EQ(log_.events, (Events{"didFindValidUpdate 2", "supportsGentleScheduledUpdateReminders",
                                 "willHandleShowingUpdate handle=true userInitiated=false 1.1.0", "willShowModalAlert",
                                 "showUpdateFound 1.1.0", "didReceiveUserAttention", "willFinishUpdateSession",
                                 "dismissUpdateInstallation"}));
}

TEST_F(UpdaterTest, NoNewerReleaseEndsWithTheNoUpdateCase) {
  setFeed(feedFor("1", "1.0.0", archive_.size(), keys_.signBase64(archive_)));
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_EQ(log_.events,
            (Events{"showUserInitiatedUpdateCheck", "didFinishCheckWithError VeltoUpdate#1001", "willShowModalAlert",
                    "showUpdateNotFound VeltoUpdate#1001", "willFinishUpdateSession", "dismissUpdateInstallation"}));

  log_.events.clear();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_EQ(log_.events, (Events{"didFinishCheckWithError VeltoUpdate#1001", "willFinishUpdateSession",
                                 "dismissUpdateInstallation"}));
}

TEST_F(UpdaterTest, FailingOrMalformedFeedsEndWithAClearError) {
  const std::string oversized = "<updates>" + std::string(UpdateDownloader::kMaxFeedBytes + 1, ' ') + "</updates>";
  server_.server().Get("/status/404", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
  server_.server().Get("/status/500", [](const httplib::Request&, httplib::Response& response) { response.status = 500; });
  server_.server().Get("/malformed", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<updates><release version=", "application/xml");
  });
  server_.server().Get("/entities", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<!DOCTYPE updates [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                         "<updates><release version=\"&b;\"/></updates>",
                         "application/xml");
  });
  server_.server().Get("/oversized", [oversized](const httplib::Request&, httplib::Response& response) {
    response.set_content(oversized, "application/xml");
  });
  const std::string elsewhere = fmt::format("https://localhost:{}/feed.xml", server_.port());
  server_.server().Get("/elsewhere", [elsewhere](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(elsewhere);
  });

  struct Case {
    const char* path;
    UpdateError::Code expected;
  };
  const Case cases[] = {
      {"/status/404", UpdateError::Code::feedUnreadable},  {"/status/500", UpdateError::Code::feedUnreadable},
      {"/malformed", UpdateError::Code::feedInvalid},      {"/entities", UpdateError::Code::feedInvalid},
      {"/oversized", UpdateError::Code::feedUnreadable},   {"/elsewhere", UpdateError::Code::insecureAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    log_.events.clear();
    delegate_.lastErrorCode.reset();
    ApplicationInformation info = information();
    info.feedURL = server_.url(c.path);
    Updater updater(info, driver_, delegate_, environment());
    updater.setAutomaticallyChecksForUpdates(false);
    updater.start();
    updater.checkForUpdates();
    ASSERT_TRUE(waitForSessionEnd(updater));
    EXPECT_EQ(delegate_.lastErrorCode, c.expected);
    EXPECT_TRUE(log_.contains(fmt::format("showUpdaterError VeltoUpdate#{}", static_cast<int>(c.expected))));
    EXPECT_FALSE(driver_.shownError.empty());
  }
  EXPECT_EQ(archiveRequests_, 0);
}

TEST_F(UpdaterTest, FailedCheckReachesTheDriverOnlyWhenTheUserAsked) {
  server_.server().Get("/status/500", [](const httplib::Request&, httplib::Response& response) { response.status = 500; });
  ApplicationInformation info = information();
  info.feedURL = server_.url("/status/500");
  Updater updater(info, driver_, delegate_, environment());
  updater.setAutomaticallyChecksForUpdates(false);
  updater.start();

  updater.checkForUpdatesInBackground();
  ASSERT_TRUE(waitForSessionEnd(updater));
  EXPECT_EQ(log_.events, (Events{"didFinishCheckWithError VeltoUpdate#3", "willFinishUpdateSession",
                                 "dismissUpdateInstallation"}));

  log_.events.clear();
  updater.checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(updater));
  EXPECT_EQ(log_.events, (Events{"showUserInitiatedUpdateCheck", "didFinishCheckWithError VeltoUpdate#3",
                                 "willShowModalAlert", "showUpdaterError VeltoUpdate#3", "willFinishUpdateSession",
                                 "dismissUpdateInstallation"}));
}

TEST_F(UpdaterTest, RedirectWithinTheFeedsHostIsFollowed) {
  server_.server().Get("/moved", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/feed.xml");
  });
  ApplicationInformation info = information();
  info.feedURL = server_.url("/moved");
  driver_.choice = UpdateChoice::later;
  Updater updater(info, driver_, delegate_, environment());
  updater.setAutomaticallyChecksForUpdates(false);
  updater.start();
  updater.checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(updater));
  EXPECT_TRUE(log_.contains("showUpdateFound 1.1.0"));
}

TEST_F(UpdaterTest, StalledFeedEndsAtTheTimeoutWhileTheEventLoopRuns) {
  hold();
  UpdaterEnvironment shortWait = environment();
  shortWait.networkIdleTimeout = 0.5;
  Updater updater(information(), driver_, delegate_, shortWait);
  updater.setAutomaticallyChecksForUpdates(false);
  updater.start();
  updater.checkForUpdates();

  ASSERT_TRUE(waitUntil([&] { return heldRequests() == 1; }));
  bool delivered = false;
  later([&] { delivered = true; });
  EXPECT_TRUE(waitUntil([&] { return delivered; }));
  EXPECT_TRUE(updater.sessionInProgress());

  ASSERT_TRUE(waitForSessionEnd(updater));
  release();
  ASSERT_TRUE(delegate_.lastError);
  EXPECT_EQ(delegate_.lastErrorCode, UpdateError::Code::feedUnreadable);
  ASSERT_TRUE(delegate_.lastError->underlying());
  EXPECT_EQ(delegate_.lastError->underlying()->code(), -1001);
}

TEST_F(UpdaterTest, StartRefusesUnusableInformation) {
  struct Case {
    const char* name;
    std::function<void(ApplicationInformation&)> spoil;
  };
  const Case cases[] = {
      {"plain http feed", [](ApplicationInformation& info) { info.feedURL = "http://127.0.0.1/feed.xml"; }},
      {"empty feed", [](ApplicationInformation& info) { info.feedURL.clear(); }},
      {"key of 31 bytes", [](ApplicationInformation& info) { info.publicKey = testsupport::base64(std::string(31, 'k')); }},
      {"key not Base64", [](ApplicationInformation& info) { info.publicKey = "***"; }},
      {"build without version", [](ApplicationInformation& info) { info.buildVersion.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplicationInformation info = information();
    c.spoil(info);
    Updater updater(info, driver_, delegate_, environment());
    try {
      updater.start();
      ADD_FAILURE() << "started";
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.updateCode(), UpdateError::Code::invalidInformation);
    }
    updater.checkForUpdates();
    EXPECT_FALSE(updater.sessionInProgress());
  }
  EXPECT_EQ(feedRequests_, 0);
}

TEST_F(UpdaterTest, RefusedInstallationIsShownAndNothingIsDownloaded) {
  delegate_.refusal = Error("NSError", "VeltoVoiceUpdates", 2, "録音中は更新できません。");
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  const Events tail(log_.events.end() - 6, log_.events.end());
  EXPECT_EQ(tail, (Events{"didReceiveUserAttention", "mayProceedWithInstalling 2", "willShowModalAlert",
                          "showUpdaterError VeltoVoiceUpdates#2", "willFinishUpdateSession",
                          "dismissUpdateInstallation"}));
  EXPECT_EQ(driver_.shownError, "録音中は更新できません。");
  EXPECT_EQ(archiveRequests_, 0);
  EXPECT_EQ(readFile(root_ / "bin/veltovoice"), "old program");
}

TEST_F(UpdaterTest, CompletedInstallationReplacesTheFolderAndRelaunches) {
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitUntil([&] { return !updater->sessionInProgress() && log_.contains("dismissUpdateInstallation"); }));
  const Events tail(log_.events.begin() + 5, log_.events.end());
  EXPECT_EQ(tail, (Events{"didReceiveUserAttention", "mayProceedWithInstalling 2", "showDownloadInitiated",
                          "showDownloadProgress", "willShowModalAlert", "showReadyToInstallAndRelaunch",
                          "mayProceedWithInstalling 2", "willFinishUpdateSession", "dismissUpdateInstallation",
                          "relaunch " + (root_ / "bin/veltovoice").string()}));
  EXPECT_EQ(driver_.lastReceived, static_cast<std::int64_t>(archive_.size()));
  EXPECT_EQ(driver_.lastExpected, static_cast<std::int64_t>(archive_.size()));
  EXPECT_EQ(readFile(root_ / "bin/veltovoice"), "new program");
  EXPECT_TRUE(fs::is_empty(folder_ / "cache"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(UpdaterTest, ArchivesThatFailTheirChecksAreShownAndNothingChanges) {
  struct Case {
    const char* name;
    std::size_t length;
    std::string signature;
    UpdateError::Code expected;
  };
  const testsupport::SigningKeys otherKeys;
  const Case cases[] = {
      {"signed with another key", archive_.size(), otherKeys.signBase64(archive_), UpdateError::Code::signatureInvalid},
      {"feed announces more bytes", archive_.size() + 10, keys_.signBase64(archive_), UpdateError::Code::lengthMismatch},
      {"feed announces fewer bytes", archive_.size() - 10, keys_.signBase64(archive_), UpdateError::Code::downloadFailed},
      {"signature not Base64", archive_.size(), "%%%", UpdateError::Code::signatureInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.events.clear();
    setFeed(feedFor("2", "1.1.0", c.length, c.signature));
    auto updater = makeUpdater();
    updater->checkForUpdates();
    ASSERT_TRUE(waitForSessionEnd(*updater));
    EXPECT_TRUE(log_.contains(fmt::format("showUpdaterError VeltoUpdate#{}", static_cast<int>(c.expected))));
    EXPECT_FALSE(log_.contains("showReadyToInstallAndRelaunch"));
    EXPECT_EQ(readFile(root_ / "bin/veltovoice"), "old program");
    EXPECT_TRUE(!fs::exists(folder_ / "cache") || fs::is_empty(folder_ / "cache"));
  }
}

TEST_F(UpdaterTest, InstallationWithoutMarkerIsRefusedBeforeDownloading) {
  fs::remove(root_ / Installation::kMarkerFile);
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  EXPECT_TRUE(log_.contains(fmt::format("showUpdaterError VeltoUpdate#{}", static_cast<int>(UpdateError::Code::notUserLocal))));
  EXPECT_EQ(archiveRequests_, 0);
  EXPECT_EQ(readFile(root_ / "bin/veltovoice"), "old program");
}

TEST_F(UpdaterTest, ScheduledChecksRepeatOnlyWhileAutomatic) {
  setFeed(feedFor("1", "1.0.0", archive_.size(), keys_.signBase64(archive_)));
  {
    Updater updater(information(), driver_, delegate_, environment());
    updater.setUpdateCheckInterval(0.02);
    updater.start();
    EXPECT_TRUE(waitUntil([&] { return feedRequests_ >= 3; }));
  }

  feedRequests_ = 0;
  Updater updater(information(), driver_, delegate_, environment());
  updater.setUpdateCheckInterval(0.02);
  updater.setAutomaticallyChecksForUpdates(false);
  updater.start();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(feedRequests_, 0);

  log_.events.clear();
  updater.checkForUpdates();
  ASSERT_TRUE(waitForSessionEnd(updater));
  EXPECT_EQ(feedRequests_, 1);
  EXPECT_TRUE(log_.contains("showUpdateNotFound VeltoUpdate#1001"));
}

TEST_F(UpdaterTest, CheckWhileASessionRunsBringsItForward) {
  hold();
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(waitUntil([&] { return heldRequests() == 1; }));
  updater->checkForUpdates();
  updater->checkForUpdatesInBackground();
  EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "showUpdateInFocus"), 1);

  // Cancelling the check ends the session without an error.
  driver_.cancelCheck();
  ASSERT_TRUE(waitForSessionEnd(*updater));
  release();
  EXPECT_FALSE(delegate_.lastError);
  EXPECT_EQ(feedRequests_, 1);
}

}  // namespace
}  // namespace platform
