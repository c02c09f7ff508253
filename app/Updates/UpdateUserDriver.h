#pragma once

#include <functional>

#include "app/Updates/StandardUserDriver.h"
#include "app/Updates/UpdateNoticeWindow.h"

namespace veltovoice {

// The update service's driver: the standard dialogs, except that finding no update and the
// updater's errors appear in the notice window, which follows the updater's dismissals and focus
// requests, and a hook runs before a notice is shown. GUI thread only.
class UpdateUserDriver : public StandardUserDriver {
  Q_OBJECT

 public:
  explicit UpdateUserDriver(QObject* parent = nullptr);
  ~UpdateUserDriver() override;

  // Called before a notice is shown; the service brings the main window forward with it.
  void setPrepareForUpdateUI(std::function<void()> prepare);

  void showUpdateNotFound(const platform::UpdateError& error, std::function<void()> acknowledgement) override;
  void showUpdaterError(const platform::Error& error, std::function<void()> acknowledgement) override;
  // Closes the notice (which acknowledges it), then the standard windows.
  void dismissUpdateInstallation() override;
  // Raises and activates the notice when one is open, else the standard window.
  void showUpdateInFocus() override;

  UpdateNoticeWindow& notice() { return notice_; }

 private:
  void showNotice(const platform::Error& error, std::function<void()> acknowledgement);

  std::function<void()> prepareForUpdateUI_;
  UpdateNoticeWindow notice_;
};

}  // namespace veltovoice
