#pragma once

#include "platform/update/UpdateItem.h"

namespace platform {

class Error;

// Hooks through which the application takes part in update sessions. Every call arrives on the GUI
// thread. The defaults let the standard user driver show everything and never refuse.
//
// Order within a session (hooks and, in brackets, the driver's calls):
//   found, user-initiated:  didFindValidUpdate, willHandleShowingUpdate(true), willShowModalAlert,
//                           [showUpdateFound], ...user replies... didReceiveUserAttention, then
//                           "later": willFinishUpdateSession, [dismissUpdateInstallation];
//                           "install": mayProceedWithInstalling, [download...], willShowModalAlert,
//                           [showReadyToInstallAndRelaunch], mayProceedWithInstalling,
//                           willFinishUpdateSession, [dismissUpdateInstallation], relaunch.
//   found, scheduled:       didFindValidUpdate, supportsGentleScheduledUpdateReminders, (when it
//                           says yes) shouldHandleShowingScheduledUpdate, willHandleShowingUpdate;
//                           shown by the driver as above, else the session waits for the user's
//                           next check.
//   no update, or failed:   didFinishCheckWithError; when user-initiated: willShowModalAlert,
//                           [showUpdateNotFound / showUpdaterError], ...acknowledged...;
//                           willFinishUpdateSession, [dismissUpdateInstallation].
//   refused installation:   mayProceedWithInstalling throws; willShowModalAlert, [showUpdaterError]
//                           with the refusal, ...acknowledged..., willFinishUpdateSession, [dismiss].
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;

  // Asked before the download starts and again right before the files are replaced. Throw (any
  // Error) to refuse; the error is shown through the driver and nothing further happens.
  virtual void mayProceedWithInstalling(const UpdateItem& item);
  virtual void didFindValidUpdate(const UpdateItem& item);
  // A check ended without an update: UpdateError code noUpdate (1001), or the failure.
  virtual void didFinishCheckWithError(const Error& error);
  virtual bool supportsGentleScheduledUpdateReminders();
  // Whether the driver should show an update that a scheduled check found (asked only when gentle
  // reminders are supported).
  virtual bool shouldHandleShowingScheduledUpdate(const UpdateItem& item);
  // Whether the driver will show the update (`handleShowingUpdate`), and how it was found.
  virtual void willHandleShowingUpdate(bool handleShowingUpdate, const UpdateItem& item,
                                       const UpdateState& state);
  // The user answered the found-update dialog.
  virtual void didReceiveUserAttention(const UpdateItem& item);
  virtual void willFinishUpdateSession();
  // The driver is about to show a modal alert.
  virtual void willShowModalAlert();
};

}  // namespace platform
