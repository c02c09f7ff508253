#pragma once

#include <filesystem>
#include <string>

namespace veltovoice {

// What the application asks of the desktop: show a file in the file browser, open a folder or an
// address with its handler. The application gives its Qt implementation to the parts that need
// it; tests give a recording fake. Implementations are called from the GUI thread and never fail
// (a desktop that cannot comply simply shows nothing).
class DesktopServices {
 public:
  virtual ~DesktopServices();

  // Opens the file browser on the folder of `file` with `file` selected.
  virtual void showFileSelected(const std::filesystem::path& file) = 0;

  // Opens `folder` in the file browser.
  virtual void openFolder(const std::filesystem::path& folder) = 0;

  // Opens `address` (a URL) with the desktop's handler for it.
  virtual void openAddress(const std::string& address) = 0;

  // Whether the desktop opens system settings panes by address (LiveModel::settingsAddress).
  // Linux desktops have no such panes, so by default it does not, and nothing offers to open one.
  virtual bool canOpenSettingsPanes() const { return false; }
};

}  // namespace veltovoice
