#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/update/ApplicationInformation.h"

namespace platform {

class UpdaterDelegate;
class UserDriver;

// Where the updater reads and writes, and how it restarts the program; defaults are the real ones.
struct UpdaterEnvironment {
  // The running program; empty = /proc/self/exe.
  std::filesystem::path programPath;
  // The user's home; empty = $HOME.
  std::filesystem::path homeFolder;
  // Where archives are downloaded; empty = $XDG_CACHE_HOME/VeltoVoice/Updates
  // ($XDG_CACHE_HOME defaulting to ~/.cache).
  std::filesystem::path downloadFolder;
  // A transfer fails when no byte moves for this long.
  double networkIdleTimeout = 30.0;
  // Called on the GUI thread with the new program once it is in place. The application passes its
  // quit road followed by execv; empty = execv at once.
  std::function<void(const std::filesystem::path& program)> relaunch;
};

// The update engine: checks the signed feed, and, when the user agrees, downloads a newer release,
// verifies its length and Ed25519 signature, replaces the user-local installation and restarts the
// program. Network, verification and file work run on a worker thread; delegate hooks and driver
// calls arrive on the thread that made the updater, which must run a Qt event loop (the GUI thread).
// Use from that thread only. The driver and the delegate are borrowed and must outlive the updater.
//
//   platform::Updater updater(platform::ApplicationInformation::current(), driver, delegate);
//   updater.start();                 // throws on an unusable feed address or key
//   updater.checkForUpdates();       // the user's "check now"
class Updater {
 public:
  static constexpr double kDefaultCheckInterval = 3600.0;

  Updater(ApplicationInformation information, UserDriver& driver, UpdaterDelegate& delegate,
          UpdaterEnvironment environment = {});
  // Closes the driver's windows of a session still under way, so that none answers afterwards.
  ~Updater();

  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Validates the information (an https feed address with a host, a Base64 32-byte public key, a
  // valid build version) and begins scheduled checks when they are on. Later calls do nothing.
  // Throws UpdateError::invalidInformation; the updater then stays stopped.
  void start();

  // Scheduled background checks every updateCheckInterval() once started; on by default.
  bool automaticallyChecksForUpdates() const;
  void setAutomaticallyChecksForUpdates(bool on);
  // Stored only: the updater never downloads without the user. Off by default.
  bool automaticallyDownloadsUpdates() const;
  void setAutomaticallyDownloadsUpdates(bool on);
  // Seconds between scheduled checks. REQUIRES: seconds > 0.
  double updateCheckInterval() const;
  void setUpdateCheckInterval(double seconds);

  // A check the user started, shown through the driver. While a session runs, brings it forward
  // instead. Does nothing before a successful start().
  void checkForUpdates();
  // One scheduled-kind check now. Nothing happens before start() or while a session runs, except
  // one that only waits for the user with an update a scheduled check left to the application:
  // that one is replaced, as every scheduled check does.
  void checkForUpdatesInBackground();

  // Whether a check, a shown update, a download or an installation is under way.
  bool sessionInProgress() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
