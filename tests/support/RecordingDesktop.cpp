#include "tests/support/RecordingDesktop.h"

namespace testsupport {

void RecordingDesktop::showFileSelected(const std::filesystem::path& file) {
  calls.push_back("show " + file.string());
}

void RecordingDesktop::openFolder(const std::filesystem::path& folder) {
  calls.push_back("open " + folder.string());
}

void RecordingDesktop::openAddress(const std::string& address) { calls.push_back("address " + address); }

void MemoryClipboard::setText(const std::string& text) { this->text = text; }

}  // namespace testsupport
