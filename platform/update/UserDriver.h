#pragma once

#include <cstdint>
#include <functional>

#include "platform/update/UpdateItem.h"

namespace platform {

class Error;
class UpdateError;

// What the user chose in the found-update dialog.
enum class UpdateChoice { install, later };

// The user interface of an update session, which the updater drives. Every call arrives on the GUI
// thread; a reply callback may be called once, on the GUI thread, at any later time (a reply for a
// session that has ended is ignored). The standard implementation is the application's dialogs.
class UserDriver {
 public:
  virtual ~UserDriver() = default;

  // A check the user started is running; `cancel` stops it.
  virtual void showUserInitiatedUpdateCheck(std::function<void()> cancel) = 0;
  // A newer release is available: ask whether to install it now or later.
  virtual void showUpdateFound(const UpdateItem& item, const UpdateState& state,
                               std::function<void(UpdateChoice)> reply) = 0;
  // The archive's download started; `cancel` stops it.
  virtual void showDownloadInitiated(std::function<void()> cancel) = 0;
  // Bytes of the archive received so far, of `expected`.
  virtual void showDownloadProgress(std::int64_t received, std::int64_t expected) = 0;
  // The update is verified and unpacked: ask whether to install it and restart now (`reply(true)`).
  virtual void showReadyToInstallAndRelaunch(std::function<void(bool)> reply) = 0;
  // A check the user started found no newer release; `acknowledgement` once the user has seen it.
  virtual void showUpdateNotFound(const UpdateError& error, std::function<void()> acknowledgement) = 0;
  // A check, download or installation failed; `acknowledgement` once the user has seen it.
  virtual void showUpdaterError(const Error& error, std::function<void()> acknowledgement) = 0;
  // The session ended: close whatever update interface is still open.
  virtual void dismissUpdateInstallation() = 0;
  // The user asked to check while a session runs: bring its interface forward.
  virtual void showUpdateInFocus() = 0;
};

}  // namespace platform
