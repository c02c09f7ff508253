#include "app/Updates/Updates.h"

#include <chrono>
#include <exception>
#include <utility>

#include <QDateTime>
#include <QPointer>
#include <QSettings>
#include <QUrl>

#include "app/Model/AppLog.h"
#include "app/Model/ModelClock.h"
#include "app/Updates/DesktopNotifications.h"
#include "app/Updates/UpdatePromptWindow.h"
#include "app/Updates/UpdateUserDriver.h"
#include "platform/sys/Error.h"
#include "platform/update/ApplicationInformation.h"
#include "platform/update/UpdateError.h"

namespace veltovoice {

namespace {

const QString kAutomaticKey = QStringLiteral("automaticUpdates");
const QString kPromptBuildKey = QStringLiteral("lastUpdatePromptBuild");
const QString kPromptDateKey = QStringLiteral("lastUpdatePromptDate");
const QString kNotifiedBuildKey = QStringLiteral("lastNotifiedUpdateBuild");

constexpr double kCheckInterval = 3600.0;
constexpr std::chrono::seconds kReminderPause{86400};

QSettings preferences() { return QSettings(QStringLiteral("VeltoVoice"), QStringLiteral("VeltoVoice")); }

QString text(const std::string& value) { return QString::fromStdString(value); }

// The program's information; an unreadable override reads as no information at all.
platform::ApplicationInformation applicationInformation() {
  try {
    return platform::ApplicationInformation::current();
  } catch (const std::exception&) {
    return {};
  }
}

[[noreturn]] void refuse(int code, const char* message) {
  throw platform::Error("UpdatesError", Updates::kErrorDomain, code, message);
}

// A string preference, or nullopt when it is missing or holds something else.
std::optional<QString> storedText(const QSettings& settings, const QString& key) {
  const QVariant value = settings.value(key);
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString();
}

}  // namespace

Updates::Updates(QObject* parent)
    : QObject(parent),
      status_(QStringLiteral("起動時と1時間ごとに最新版を確認します")),
      canInstall_([] { return true; }),
      clock_(ModelClock::system()),
      prompt_(std::make_unique<UpdatePromptWindow>()),
      notifications_(std::make_unique<DesktopNotifications>()) {
  automatic_ = preferences().value(kAutomaticKey, true).toBool();
}

Updates::~Updates() {
  // The updater's last calls reach the driver and this object: it goes while both still stand.
  engine_.reset();
}

void Updates::setAutomatic(bool on) {
  const bool changed = on != automatic_;
  automatic_ = on;
  if (changed) emit automaticChanged(on);
  preferences().setValue(kAutomaticKey, on);
  applyPreference();
}

void Updates::setPrepareUI(std::function<void()> prepare) { prepareUI_ = std::move(prepare); }

void Updates::setCanInstall(std::function<bool()> canInstall) {
  canInstall_ = canInstall ? std::move(canInstall) : [] { return true; };
}

void Updates::setClock(std::shared_ptr<ModelClock> clock) { clock_ = std::move(clock); }

void Updates::setUpdaterEnvironment(platform::UpdaterEnvironment environment) {
  environment_ = std::move(environment);
}

void Updates::setTrayIcon(QSystemTrayIcon* icon) { notifications_->setTrayIcon(icon); }

void Updates::start() {
  if (started_) return;
  started_ = true;

  const platform::ApplicationInformation information = applicationInformation();
  feed_ = UpdateFeed::make(text(information.feedURL), text(information.publicKey));
  if (!feed_) {
    setStatus(QStringLiteral("更新先の設定を読み込めませんでした"));
    return;
  }

  driver_ = std::make_unique<UpdateUserDriver>();
  driver_->setPrepareForUpdateUI([self = QPointer<Updates>(this)] {
    if (self) self->prepareUI();
  });
  engine_ = std::make_unique<platform::Updater>(information, *driver_, *this, environment_);
  applyPreference();
  try {
    engine_->start();
  } catch (const std::exception& error) {
    setStatus(QStringLiteral("更新を開始できませんでした：") + QString::fromUtf8(error.what()));
    return;
  }
  setConfigured(true);
  setStatus(QStringLiteral("起動時と1時間ごとに確認。取得・適用は選んでから"));
  configureNotifications();
  if (automatic_) engine_->checkForUpdatesInBackground();
}

void Updates::check() {
  prompt_->close();
  prepareUI();
  if (configured_) engine_->checkForUpdates();
}

void Updates::applyPreference() {
  if (engine_) {
    engine_->setAutomaticallyChecksForUpdates(automatic_);
    engine_->setAutomaticallyDownloadsUpdates(false);
    engine_->setUpdateCheckInterval(kCheckInterval);
  }
  if (!automatic_) prompt_->close();
}

void Updates::configureNotifications() {
  connect(notifications_.get(), &DesktopNotifications::responded, this, &Updates::notificationResponded);
}

void Updates::mayProceedWithInstalling(const platform::UpdateItem& item) {
  if (!canInstall_()) {
    refuse(kBusy, "録音中は更新できません。録音を終えてから、もう一度「アップデートを確認」を選んでください。");
  }
  const QUrl address(text(item.fileURL), QUrl::StrictMode);
  const bool trusted = !item.fileURL.empty() && address.isValid() && address.scheme() == QLatin1String("https") &&
                       feed_ && address.host() == feed_->url.host() && address.userInfo().isEmpty();
  if (!trusted) refuse(kUntrustedDownload, "更新ファイルの配布元を確認できませんでした。");
}

void Updates::didFindValidUpdate(const platform::UpdateItem& item) {
  const QString version = text(item.displayVersionString);
  setAvailableVersion(version);
  setStatus(QStringLiteral("バージョン ") + version + QStringLiteral(" を利用できます"));
}

void Updates::didFinishCheckWithError(const platform::Error& error) {
  if (error.domain() == platform::UpdateError::kDomain &&
      error.code() == static_cast<int>(platform::UpdateError::Code::noUpdate)) {
    setStatus(QStringLiteral("最新版を使用しています"));
    setAvailableVersion(std::nullopt);
    return;
  }
  AppLog::error("更新の確認の失敗: " + AppLog::describe(error));
  setStatus(QStringLiteral("更新を確認できませんでした：") + text(error.description()));
}

bool Updates::supportsGentleScheduledUpdateReminders() { return true; }

bool Updates::shouldHandleShowingScheduledUpdate(const platform::UpdateItem&) { return false; }

void Updates::willHandleShowingUpdate(bool, const platform::UpdateItem& item, const platform::UpdateState& state) {
  setAvailableVersion(text(item.displayVersionString));
  if (state.userInitiated) {
    prompt_->close();
    prepareUI();
    return;
  }
  if (!automatic_ || !canInstall_()) return;
  showReminder(item);
  postNotification(item);
}

void Updates::didReceiveUserAttention(const platform::UpdateItem&) { closeReminderAndNotification(); }

void Updates::willFinishUpdateSession() {
  closeReminderAndNotification();
  setAvailableVersion(std::nullopt);
}

void Updates::willShowModalAlert() {
  // The driver's windows raise and activate themselves; the main window comes forward beneath them.
  prepareUI();
}

void Updates::showReminder(const platform::UpdateItem& item) {
  QSettings settings = preferences();
  const QString build = text(item.versionString);
  const std::optional<QString> lastBuild = storedText(settings, kPromptBuildKey);
  const QVariant lastDateValue = settings.value(kPromptDateKey);
  const auto now = clock_->now();
  bool due = !lastBuild || *lastBuild != build || lastDateValue.typeId() != QMetaType::QDateTime;
  if (!due) {
    const auto lastDate = std::chrono::system_clock::time_point(
        std::chrono::milliseconds(lastDateValue.toDateTime().toMSecsSinceEpoch()));
    // A last date in the future means the clock was set back: it must not silence the reminder.
    due = now < lastDate || now - lastDate >= kReminderPause;
  }
  if (!due) return;

  prompt_->show(text(item.displayVersionString), [self = QPointer<Updates>(this)] {
    if (self) self->check();
  });
  const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  settings.setValue(kPromptBuildKey, build);
  settings.setValue(kPromptDateKey, QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC));
}

void Updates::postNotification(const platform::UpdateItem& item) {
  const QString build = text(item.versionString);
  if (storedText(preferences(), kNotifiedBuildKey) == build) return;
  DesktopNotifications::Request request{
      .identifier = QString::fromLatin1(kNotificationIdentifier),
      .title = QStringLiteral("VELTO VOICE の更新があります"),
      .body = QStringLiteral("バージョン ") + text(item.displayVersionString) +
              QStringLiteral(" が利用できます。「更新する」からインストールに進めます。"),
      .actions = {{QString::fromLatin1(kInstallAction), QStringLiteral("更新する")}},
  };
  // Recorded only once the desktop took it, so that a failed posting is tried at the next check.
  notifications_->add(request, [build](bool accepted) {
    if (accepted) preferences().setValue(kNotifiedBuildKey, build);
  });
}

void Updates::notificationResponded(const QString& identifier, const QString& action) {
  if (identifier != QLatin1String(kNotificationIdentifier)) return;
  if (action == QLatin1String(DesktopNotifications::kDefaultAction) || action == QLatin1String(kInstallAction)) {
    check();
  }
}

void Updates::closeReminderAndNotification() {
  prompt_->close();
  notifications_->removeDelivered(QString::fromLatin1(kNotificationIdentifier));
}

void Updates::prepareUI() {
  if (prepareUI_) prepareUI_();
}

void Updates::setStatus(const QString& status) {
  if (status == status_) return;
  status_ = status;
  emit statusChanged(status_);
}

void Updates::setConfigured(bool configured) {
  if (configured == configured_) return;
  configured_ = configured;
  emit configuredChanged(configured_);
}

void Updates::setAvailableVersion(std::optional<QString> version) {
  if (version == availableVersion_) return;
  availableVersion_ = std::move(version);
  emit availableVersionChanged();
}

}  // namespace veltovoice
