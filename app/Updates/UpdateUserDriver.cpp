#include "app/Updates/UpdateUserDriver.h"

#include <utility>

#include <QDialog>

#include "platform/sys/Error.h"
#include "platform/update/UpdateError.h"

namespace veltovoice {

UpdateUserDriver::UpdateUserDriver(QObject* parent) : StandardUserDriver(parent) {}

UpdateUserDriver::~UpdateUserDriver() = default;

void UpdateUserDriver::setPrepareForUpdateUI(std::function<void()> prepare) {
  prepareForUpdateUI_ = std::move(prepare);
}

void UpdateUserDriver::showUpdateNotFound(const platform::UpdateError& error, std::function<void()> acknowledgement) {
  showNotice(error, std::move(acknowledgement));
}

void UpdateUserDriver::showUpdaterError(const platform::Error& error, std::function<void()> acknowledgement) {
  showNotice(error, std::move(acknowledgement));
}

void UpdateUserDriver::dismissUpdateInstallation() {
  notice_.dismiss();
  StandardUserDriver::dismissUpdateInstallation();
}

void UpdateUserDriver::showUpdateInFocus() {
  if (QDialog* window = notice_.window()) {
    window->show();
    window->raise();
    window->activateWindow();
    return;
  }
  StandardUserDriver::showUpdateInFocus();
}

void UpdateUserDriver::showNotice(const platform::Error& error, std::function<void()> acknowledgement) {
  // The standard windows only: the notice about to open must not acknowledge itself.
  StandardUserDriver::dismissUpdateInstallation();
  if (prepareForUpdateUI_) prepareForUpdateUI_();
  // The updater's own errors carry their explanation as a second line; others have none.
  const auto* update = dynamic_cast<const platform::UpdateError*>(&error);
  const QString message = update != nullptr ? QString::fromStdString(update->failureReason()) : QString();
  notice_.show(QString::fromStdString(error.description()), message, std::move(acknowledgement));
}

}  // namespace veltovoice
