#pragma once

#include "app/Model/DesktopServices.h"

namespace veltovoice {

// The desktop on Linux: a file is shown through the freedesktop file-manager interface
// (org.freedesktop.FileManager1.ShowItems over D-Bus), falling back to opening its folder;
// folders and addresses open through QDesktopServices. There are no settings panes to open by
// address, so canOpenSettingsPanes() stays false. GUI thread only.
class QtDesktopServices : public DesktopServices {
 public:
  void showFileSelected(const std::filesystem::path& file) override;
  void openFolder(const std::filesystem::path& folder) override;
  void openAddress(const std::string& address) override;
};

}  // namespace veltovoice
