#include "tests/support/AppLogCapture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Model/AppLog.h"
#include "tests/support/TemporaryFolder.h"

namespace testsupport {
namespace {

std::filesystem::path logFile() {
  static const TemporaryFolder data;
  static const bool pointed = ::setenv("XDG_DATA_HOME", data.path().c_str(), 1) == 0;
  (void)pointed;
  return veltovoice::AppLog::directory() / "veltovoice.log";
}

std::string logText() {
  const std::filesystem::path file = logFile();
  veltovoice::AppLog::flush();
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

AppLogCapture::AppLogCapture() : start_(logText().size()) {}

std::vector<std::string> AppLogCapture::messages(const std::string& level) const {
  const std::string text = logText();
  std::istringstream in(text.substr(std::min(start_, text.size())));
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) {
    // "<time> [<LEVEL>] v<version> <message>"
    const std::size_t open = line.find(" [");
    const std::size_t close = line.find("] v", open);
    if (open == std::string::npos || close == std::string::npos) continue;
    if (!level.empty() && line.compare(open + 2, close - open - 2, level) != 0) continue;
    const std::size_t message = line.find(' ', close + 3);
    messages.push_back(message == std::string::npos ? std::string() : line.substr(message + 1));
  }
  return messages;
}

}  // namespace testsupport
