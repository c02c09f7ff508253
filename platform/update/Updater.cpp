#include "platform/update/Updater.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include <QObject>
#include <QTimer>
#include <fmt/format.h>

#include "platform/net/Url.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Environment.h"
#include "platform/sys/SystemLog.h"
#include "platform/update/Appcast.h"
#include "platform/update/ArchiveSignature.h"
#include "platform/update/Installation.h"
#include "platform/update/UpdateDownloader.h"
#include "platform/update/UpdateError.h"
#include "platform/update/UpdateVersion.h"
#include "platform/update/UpdaterDelegate.h"
#include "platform/update/UserDriver.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

// `error` as an Error record; anything else becomes `fallback` carrying its message.
template <class Fallback>
std::shared_ptr<const Error> errorRecord(std::exception_ptr error, Fallback fallback) {
  if (auto record = Error::recordOf(error)) return record;
  return std::make_shared<UpdateError>(fallback(Error::messageOf(error)));
}

fs::path defaultDownloadFolder() {
  const auto cache = Environment::value("XDG_CACHE_HOME");
  const fs::path base = cache && !cache->empty() ? fs::path(*cache)
                                                 : fs::path(Environment::value("HOME").value_or("")) / ".cache";
  return base / "VeltoVoice" / "Updates";
}

void execProgram(const fs::path& program) {
  const std::string path = program.string();
  char* const arguments[] = {const_cast<char*>(path.c_str()), nullptr};
  ::execv(path.c_str(), arguments);
  SystemLog::write(SystemLog::Level::error, "VeltoVoice", "Update",
                   fmt::format("cannot start {}: errno {}", path, errno));
}

void removeQuietly(const fs::path& path) {
  std::error_code ignored;
  if (!path.empty()) fs::remove(path, ignored);
}

}  // namespace

struct Updater::Impl {
  enum class Phase { checking, waitingForUser, showingUpdate, downloading, readyToInstall, installing, showingError };

  struct Session {
    std::uint64_t id = 0;
    bool userInitiated = false;
    Phase phase = Phase::checking;
    std::optional<UpdateItem> item;
    std::optional<Installation> installation;
    fs::path archive;
  };

  Impl(ApplicationInformation information, UserDriver& driver, UpdaterDelegate& delegate,
       UpdaterEnvironment environment)
      : information(std::move(information)), driver(driver), delegate(delegate),
        environment(std::move(environment)),
        downloader(this->environment.networkIdleTimeout, this->information.caBundlePath) {
    if (this->environment.programPath.empty()) this->environment.programPath = "/proc/self/exe";
    if (this->environment.homeFolder.empty()) this->environment.homeFolder = Environment::value("HOME").value_or("");
    if (this->environment.downloadFolder.empty()) this->environment.downloadFolder = defaultDownloadFolder();
    QObject::connect(&timer, &QTimer::timeout, &context, [this] { beginCheck(false); });
  }

  ~Impl() {
    if (worker.joinable()) {
      worker.request_stop();
      worker.join();
    }
  }

  void validateInformation() const {
    const auto feed = Url::parse(information.feedURL);
    if (!feed || feed->scheme() != "https" || feed->host().empty()) {
      throw UpdateError::invalidInformation(fmt::format("feed address \"{}\" is not an https address", information.feedURL));
    }
    if (!ArchiveSignature::isPublicKey(information.publicKey)) {
      throw UpdateError::invalidInformation("the public key is not Base64 of 32 bytes");
    }
    if (!UpdateVersion::isValid(information.buildVersion)) {
      throw UpdateError::invalidInformation(fmt::format("build version \"{}\" is invalid", information.buildVersion));
    }
  }

  void reschedule() {
    if (started && automaticChecks) {
      timer.start(static_cast<int>(std::clamp(std::ceil(checkInterval * 1000.0), 1.0, 2.0e9)));
    } else {
      timer.stop();
    }
  }

  // Posts `work` to the GUI thread; it runs only while session `id` is still the current one.
  void post(std::uint64_t id, std::function<void()> work) {
    QMetaObject::invokeMethod(
        &context, [this, id, work = std::move(work)] {
          if (session && session->id == id) work();
        },
        Qt::QueuedConnection);
  }

  void runInBackground(std::function<void(std::stop_token)> work) {
    if (worker.joinable()) {
      worker.request_stop();
      worker.join();
    }
    worker = std::jthread(std::move(work));
  }

  bool isCurrent(std::uint64_t id, Phase phase) const {
    return session && session->id == id && session->phase == phase;
  }

  void beginCheck(bool userInitiated) {
    if (!started) return;
    if (session) {
      if (session->phase != Phase::waitingForUser) {
        if (userInitiated) driver.showUpdateInFocus();
        return;
      }
      // An update that a scheduled check left to the user: any later check looks again, so that
      // the application hears of it (or of a newer one) at every scheduled check.
      session.reset();
    }
    session.emplace();
    session->id = nextSessionID++;
    session->userInitiated = userInitiated;
    const std::uint64_t id = session->id;
    if (userInitiated) driver.showUserInitiatedUpdateCheck([this, id] { cancel(id, Phase::checking); });
    runInBackground([this, id](std::stop_token stop) {
      try {
        UpdateItem item = newestUpdate(stop);
        post(id, [this, item] { foundUpdate(item); });
      } catch (const CancellationError&) {
        post(id, [this] { endSession(); });
      } catch (...) {
        auto error = errorRecord(std::current_exception(),
                                 [](const std::string& message) { return UpdateError::feedUnreadable(message); });
        post(id, [this, error] { checkEnded(*error); });
      }
    });
  }

  // Runs on the worker.
  UpdateItem newestUpdate(std::stop_token stop) const {
    const std::string feed = downloader.fetchFeed(information.feedURL, stop);
    const auto newest = Appcast::newest(Appcast::parse(feed));
    if (!newest || UpdateVersion::compare(newest->versionString, information.buildVersion) <= 0) {
      throw UpdateError::noUpdate(information.shortVersion);
    }
    return *newest;
  }

  void cancel(std::uint64_t id, Phase phase) {
    if (!isCurrent(id, phase)) return;
    worker.request_stop();
  }

  void checkEnded(const Error& error) {
    delegate.didFinishCheckWithError(error);
    if (!session || !session->userInitiated) {
      endSession();
      return;
    }
    const auto* update = dynamic_cast<const UpdateError*>(&error);
    if (update != nullptr && update->updateCode() == UpdateError::Code::noUpdate) {
      session->phase = Phase::showingError;
      delegate.willShowModalAlert();
      driver.showUpdateNotFound(*update, acknowledgement());
    } else {
      showError(error);
    }
  }

  std::function<void()> acknowledgement() {
    const std::uint64_t id = session->id;
    return [this, id] {
      if (isCurrent(id, Phase::showingError)) endSession();
    };
  }

  void showError(const Error& error) {
    session->phase = Phase::showingError;
    removeQuietly(session->archive);
    delegate.willShowModalAlert();
    driver.showUpdaterError(error, acknowledgement());
  }

  void foundUpdate(const UpdateItem& item) {
    session->item = item;
    delegate.didFindValidUpdate(item);
    const UpdateState state{.userInitiated = session->userInitiated};
    bool handle = true;
    if (!state.userInitiated && delegate.supportsGentleScheduledUpdateReminders()) {
      handle = delegate.shouldHandleShowingScheduledUpdate(item);
    }
    delegate.willHandleShowingUpdate(handle, item, state);
    if (!session) return;
    if (!handle) {
      session->phase = Phase::waitingForUser;
      return;
    }
    session->phase = Phase::showingUpdate;
    const std::uint64_t id = session->id;
    delegate.willShowModalAlert();
    driver.showUpdateFound(item, state, [this, id](UpdateChoice choice) { chose(id, choice); });
  }

  void chose(std::uint64_t id, UpdateChoice choice) {
    if (!isCurrent(id, Phase::showingUpdate)) return;
    delegate.didReceiveUserAttention(*session->item);
    if (!isCurrent(id, Phase::showingUpdate)) return;
    if (choice == UpdateChoice::later) {
      endSession();
      return;
    }
    beginDownload();
  }

  // Asks the delegate; on a refusal shows it and returns false.
  bool mayProceed() {
    try {
      delegate.mayProceedWithInstalling(*session->item);
      return true;
    } catch (const Error& refusal) {
      showError(refusal);
    } catch (const std::exception& refusal) {
      showError(UpdateError::installationFailed(refusal.what()));
    }
    return false;
  }

  void beginDownload() {
    if (!mayProceed()) return;
    try {
      session->installation = Installation::locate(environment.programPath, environment.homeFolder);
    } catch (const Error& error) {
      showError(error);
      return;
    }
    session->phase = Phase::downloading;
    const std::uint64_t id = session->id;
    driver.showDownloadInitiated([this, id] { cancel(id, Phase::downloading); });
    runInBackground([this, id, item = *session->item](std::stop_token stop) {
      try {
        const fs::path archive = downloader.downloadArchive(
            item, environment.downloadFolder,
            [this, id](std::int64_t received, std::int64_t expected) {
              post(id, [this, received, expected] { driver.showDownloadProgress(received, expected); });
            },
            stop);
        try {
          ArchiveSignature::verify(archive, item.contentLength, item.edSignature, information.publicKey);
        } catch (...) {
          removeQuietly(archive);
          throw;
        }
        post(id, [this, archive] { downloaded(archive); });
      } catch (const CancellationError&) {
        post(id, [this] { endSession(); });
      } catch (...) {
        auto error = errorRecord(std::current_exception(),
                                 [](const std::string& message) { return UpdateError::downloadFailed(message); });
        post(id, [this, error] { showError(*error); });
      }
    });
  }

  void downloaded(const fs::path& archive) {
    session->archive = archive;
    session->phase = Phase::readyToInstall;
    const std::uint64_t id = session->id;
    delegate.willShowModalAlert();
    driver.showReadyToInstallAndRelaunch([this, id](bool install) {
      if (!isCurrent(id, Phase::readyToInstall)) return;
      if (install) {
        beginInstall();
      } else {
        removeQuietly(session->archive);
        endSession();
      }
    });
  }

  void beginInstall() {
    if (!mayProceed()) return;
    session->phase = Phase::installing;
    const std::uint64_t id = session->id;
    runInBackground([this, id, installation = *session->installation, archive = session->archive](std::stop_token) {
      try {
        const fs::path program = installation.replace(archive);
        removeQuietly(archive);
        post(id, [this, program] { installed(program); });
      } catch (...) {
        auto error = errorRecord(std::current_exception(),
                                 [](const std::string& message) { return UpdateError::installationFailed(message); });
        post(id, [this, error] { showError(*error); });
      }
    });
  }

  void installed(const fs::path& program) {
    endSession();
    if (environment.relaunch) {
      environment.relaunch(program);
    } else {
      execProgram(program);
    }
  }

  void endSession() {
    session.reset();
    delegate.willFinishUpdateSession();
    driver.dismissUpdateInstallation();
  }

  // Constant after construction.
  ApplicationInformation information;
  UserDriver& driver;
  UpdaterDelegate& delegate;
  UpdaterEnvironment environment;
  UpdateDownloader downloader;

  // GUI thread only.
  bool started = false;
  bool automaticChecks = true;
  bool automaticDownloads = false;
  double checkInterval = kDefaultCheckInterval;
  std::optional<Session> session;
  std::uint64_t nextSessionID = 1;
  // Calls posted from the worker go through this object and are dropped with it.
  QObject context;
  QTimer timer{&context};

  // Last, so that it is joined before anything it uses goes away.
  std::jthread worker;
};

Updater::Updater(ApplicationInformation information, UserDriver& driver, UpdaterDelegate& delegate,
                 UpdaterEnvironment environment)
    : impl_(std::make_unique<Impl>(std::move(information), driver, delegate, std::move(environment))) {}

Updater::~Updater() {
  // The driver may still show this session's windows, whose answers point into this updater.
  if (impl_->session) {
    impl_->session.reset();
    impl_->driver.dismissUpdateInstallation();
  }
}

void Updater::start() {
  if (impl_->started) return;
  impl_->validateInformation();
  impl_->started = true;
  impl_->reschedule();
}

bool Updater::automaticallyChecksForUpdates() const { return impl_->automaticChecks; }

void Updater::setAutomaticallyChecksForUpdates(bool on) {
  impl_->automaticChecks = on;
  impl_->reschedule();
}

bool Updater::automaticallyDownloadsUpdates() const { return impl_->automaticDownloads; }

void Updater::setAutomaticallyDownloadsUpdates(bool on) { impl_->automaticDownloads = on; }

double Updater::updateCheckInterval() const { return impl_->checkInterval; }

void Updater::setUpdateCheckInterval(double seconds) {
  assert(seconds > 0);
  impl_->checkInterval = seconds;
  impl_->reschedule();
}

void Updater::checkForUpdates() { impl_->beginCheck(true); }

void Updater::checkForUpdatesInBackground() { impl_->beginCheck(false); }

bool Updater::sessionInProgress() const { return impl_->session.has_value(); }

}  // namespace platform
