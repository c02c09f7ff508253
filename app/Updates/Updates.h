#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QString>

#include "app/Updates/UpdateFeed.h"
#include "platform/update/Updater.h"
#include "platform/update/UpdaterDelegate.h"

class QSystemTrayIcon;

namespace veltovoice {

class DesktopNotifications;
class ModelClock;
class UpdatePromptWindow;
class UpdateUserDriver;

// The application's update service: checks the signed feed at start and every hour, never
// downloads on its own, and leaves getting and installing an update to the user. When a scheduled
// check finds a newer build it shows its reminder (at most once a day per build) and posts one
// desktop notification per build; "更新する" in either starts the updater's own dialogs, which refuse
// to install while the conversation model is busy or when the archive is not on the feed's host.
// GUI thread only; one instance, made by the application delegate.
//
// Preferences (QSettings of organisation and application "VeltoVoice"): "automaticUpdates" (bool,
// true when missing), "lastUpdatePromptBuild" (the build of the last reminder, empty for an update
// without one), "lastUpdatePromptDate" (QDateTime of the last reminder), "lastNotifiedUpdateBuild"
// (the build last notified).
//
// The feed's address and key come from platform::ApplicationInformation::current().
//
//   Updates updates;
//   updates.setCanInstall([model] { return model->isIdle(); });
//   updates.setPrepareUI([window] { window->show(); window->raise(); });
//   updates.start();
class Updates : public QObject, public platform::UpdaterDelegate {
  Q_OBJECT
  Q_PROPERTY(bool automatic READ automatic WRITE setAutomatic NOTIFY automaticChanged)
  Q_PROPERTY(QString status READ status NOTIFY statusChanged)
  Q_PROPERTY(bool configured READ configured NOTIFY configuredChanged)
  Q_PROPERTY(std::optional<QString> availableVersion READ availableVersion NOTIFY availableVersionChanged)

 public:
  // Error domain of refused installations, with its codes.
  static constexpr const char* kErrorDomain = "VeltoVoiceUpdates";
  static constexpr int kUntrustedDownload = 1;
  static constexpr int kBusy = 2;
  // The notification's identifier and its install action.
  static constexpr const char* kNotificationIdentifier = "VeltoVoice.UpdateAvailable";
  static constexpr const char* kInstallAction = "VeltoVoice.InstallUpdate";

  explicit Updates(QObject* parent = nullptr);
  ~Updates() override;

  Updates(const Updates&) = delete;
  Updates& operator=(const Updates&) = delete;

  // Whether scheduled checks, reminders and notifications are allowed. Setting it stores the
  // preference, applies it to the updater and, when off, closes the reminder.
  bool automatic() const { return automatic_; }
  void setAutomatic(bool on);
  // One line about the service for the menus.
  const QString& status() const { return status_; }
  // Whether the updater started; until then check() starts nothing.
  bool configured() const { return configured_; }
  // The display version of the update the updater found; none when there is none.
  const std::optional<QString>& availableVersion() const { return availableVersion_; }

  // Called before update windows are shown, to bring the main window forward. Empty by default.
  void setPrepareUI(std::function<void()> prepare);
  // Asked before a reminder and before an installation; false while the conversation model is
  // busy. Always true by default.
  void setCanInstall(std::function<bool()> canInstall);
  // The clock of the once-a-day reminder rule; ModelClock::system() by default.
  void setClock(std::shared_ptr<ModelClock> clock);
  // Where the updater works and how it restarts the program.
  // REQUIRES: start() has not run.
  void setUpdaterEnvironment(platform::UpdaterEnvironment environment);
  // The icon whose message stands in for notifications when the desktop has no notification
  // service; may be null. Borrowed.
  void setTrayIcon(QSystemTrayIcon* icon);

  // Starts the service: reads and validates the feed, starts the updater and, when automatic,
  // checks once now. Sets status() to tell how it went. Later calls do nothing.
  void start();
  // A check the user asked for: closes the reminder, calls the prepareUI hook and, when
  // configured, starts the updater's own check with its dialogs.
  void check();

  // The reminder window.
  UpdatePromptWindow& prompt() { return *prompt_; }
  // The updater and its driver once start() made them, else null.
  platform::Updater* engine() const { return engine_.get(); }
  UpdateUserDriver* driver() const { return driver_.get(); }
  // The validated feed once start() read it.
  const std::optional<UpdateFeed>& feed() const { return feed_; }

  // Hooks of the updater.
  void mayProceedWithInstalling(const platform::UpdateItem& item) override;
  void didFindValidUpdate(const platform::UpdateItem& item) override;
  void didFinishCheckWithError(const platform::Error& error) override;
  bool supportsGentleScheduledUpdateReminders() override;
  bool shouldHandleShowingScheduledUpdate(const platform::UpdateItem& item) override;
  void willHandleShowingUpdate(bool handleShowingUpdate, const platform::UpdateItem& item,
                               const platform::UpdateState& state) override;
  void didReceiveUserAttention(const platform::UpdateItem& item) override;
  void willFinishUpdateSession() override;
  void willShowModalAlert() override;

 signals:
  void automaticChanged(bool automatic);
  void statusChanged(const QString& status);
  void configuredChanged(bool configured);
  void availableVersionChanged();

 private:
  void applyPreference();
  void configureNotifications();
  void showReminder(const platform::UpdateItem& item);
  void postNotification(const platform::UpdateItem& item);
  void notificationResponded(const QString& identifier, const QString& action);
  void closeReminderAndNotification();
  void prepareUI();
  void setStatus(const QString& status);
  void setConfigured(bool configured);
  void setAvailableVersion(std::optional<QString> version);

  bool automatic_;
  QString status_;
  bool configured_ = false;
  std::optional<QString> availableVersion_;
  std::function<void()> prepareUI_;
  std::function<bool()> canInstall_;
  std::shared_ptr<ModelClock> clock_;
  platform::UpdaterEnvironment environment_;
  std::optional<UpdateFeed> feed_;
  bool started_ = false;
  std::unique_ptr<UpdatePromptWindow> prompt_;
  std::unique_ptr<DesktopNotifications> notifications_;
  // The updater borrows the driver: it goes first.
  std::unique_ptr<UpdateUserDriver> driver_;
  std::unique_ptr<platform::Updater> engine_;
};

}  // namespace veltovoice
