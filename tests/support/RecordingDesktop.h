#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/Model/Clipboard.h"
#include "app/Model/DesktopServices.h"

namespace testsupport {

// A desktop that records each request as "show <file>", "open <folder>" or "address <url>".
class RecordingDesktop : public veltovoice::DesktopServices {
 public:
  void showFileSelected(const std::filesystem::path& file) override;
  void openFolder(const std::filesystem::path& folder) override;
  void openAddress(const std::string& address) override;
  bool canOpenSettingsPanes() const override { return settingsPanes; }

  bool settingsPanes = false;
  std::vector<std::string> calls;
};

// A clipboard that keeps the last text; nothing until the first setText.
class MemoryClipboard : public veltovoice::Clipboard {
 public:
  void setText(const std::string& text) override;

  std::optional<std::string> text;
};

}  // namespace testsupport
