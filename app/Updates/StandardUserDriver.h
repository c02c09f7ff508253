#pragma once

#include <cstdint>
#include <functional>

#include <QObject>
#include <QPointer>

#include "platform/update/UserDriver.h"

class QDialog;
class QPushButton;
class QString;

namespace veltovoice {

// The updater's own dialogs in plain Qt widgets: the running check, the update found (install or
// later), the download with its progress and cancel, the install-and-relaunch confirmation, and the
// no-update and error alerts. One window at a time: each step replaces the window of the step
// before. Whichever way the user closes a window (its buttons, Return, Escape, the title bar), the
// updater gets exactly one answer; a window that the updater itself closes or replaces answers
// nothing. Windows never block in a nested event loop. GUI thread only.
//
// Every window and control carries an object name: windows "updateCheckingWindow",
// "updateFoundWindow", "updateDownloadWindow", "updateReadyWindow", "updateNotFoundAlert",
// "updateErrorAlert"; in them "updateHeading", "updateMessage", "updateProgress" (a QProgressBar in
// thousandths), "updateProgressText", and the buttons "updateCancelButton", "updateLaterButton",
// "updateInstallButton", "updateRelaunchButton", "updateOKButton".
//
// The application's own driver derives from this one and replaces single steps; each override may
// call this class's version for the rest.
class StandardUserDriver : public QObject, public platform::UserDriver {
  Q_OBJECT

 public:
  explicit StandardUserDriver(QObject* parent = nullptr);
  ~StandardUserDriver() override;

  StandardUserDriver(const StandardUserDriver&) = delete;
  StandardUserDriver& operator=(const StandardUserDriver&) = delete;

  void showUserInitiatedUpdateCheck(std::function<void()> cancel) override;
  void showUpdateFound(const platform::UpdateItem& item, const platform::UpdateState& state,
                       std::function<void(platform::UpdateChoice)> reply) override;
  void showDownloadInitiated(std::function<void()> cancel) override;
  // Ignored unless the download window is open. An `expected` of 0 or less shows a busy bar.
  void showDownloadProgress(std::int64_t received, std::int64_t expected) override;
  void showReadyToInstallAndRelaunch(std::function<void(bool)> reply) override;
  void showUpdateNotFound(const platform::UpdateError& error, std::function<void()> acknowledgement) override;
  void showUpdaterError(const platform::Error& error, std::function<void()> acknowledgement) override;
  // Closes the open window without answering for it.
  void dismissUpdateInstallation() override;
  // Shows, raises and activates the open window, if any.
  void showUpdateInFocus() override;

  // The open update window, or null. Owned by this driver.
  QDialog* window() const;

 private:
  // Makes `dialog` the open window. Closing it runs `onClose` once; a button that should answer
  // differently goes through answer().
  void open(QDialog* dialog, std::function<void()> onClose);
  // A button of the open window: closes it, then runs `action` (instead of the window's onClose).
  void answer(QPushButton* button, std::function<void()> action);
  // The window closed on its own terms: forget it, then give its pending answer.
  void closed(QDialog* dialog);
  void showAlert(const char* objectName, const QString& heading, const QString& message,
                 std::function<void()> acknowledgement);

  QPointer<QDialog> window_;
  std::function<void()> pending_;
};

}  // namespace veltovoice
