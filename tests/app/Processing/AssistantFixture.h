#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <QSettings>
#include <gtest/gtest.h>

#include "app/Model/AppLog.h"
#include "app/Processing/CLIAssistant.h"
#include "platform/sys/FileIO.h"
#include "tests/support/ShellScript.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {

// A world of its own for outside-assistant tests: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME in
// temporary folders (so the search, the work folders, the log and the preferences are the test's),
// and helpers that install small shell scripts as the assistants.
class AssistantFixture : public ::testing::Test {
 protected:
  AssistantFixture() {
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
  }

  const std::filesystem::path& home() const { return home_.path(); }
  std::filesystem::path workRoot() const { return data_.path() / "VeltoVoice" / "Work"; }

  // Installs `assistant` as a shell script in `folder` (relative to HOME); returns its path.
  std::filesystem::path install(CLIAssistant assistant, const std::string& body,
                                const std::string& folder = ".local/bin", bool executable = true) {
    const std::filesystem::path path = home() / folder / assistant.rawValue();
    testsupport::writeShellScript(path, body, executable);
    return path;
  }

  static void choose(const std::optional<std::string>& rawValue) {
    QSettings settings("VeltoVoice", "VeltoVoice");
    if (rawValue) {
      settings.setValue("cleanupAssistant", QString::fromStdString(*rawValue));
    } else {
      settings.remove("cleanupAssistant");
    }
    settings.sync();
  }

  // Whether the machine itself has the assistant in a system folder of the search, which would
  // stand in for the test's own.
  static bool systemHas(CLIAssistant assistant) {
    for (const char* folder : {"/opt/homebrew/bin/", "/usr/local/bin/"}) {
      if (std::filesystem::exists(folder + assistant.rawValue())) return true;
    }
    return false;
  }

  // The whole log file so far.
  static std::string logText() {
    AppLog::flush();
    const std::filesystem::path file = AppLog::directory() / "veltovoice.log";
    return std::filesystem::exists(file) ? platform::readFile(file) : std::string();
  }

  // Whether the log holds `message` as a line of `level` ("INFO" or "ERROR").
  static bool logged(const std::string& level, const std::string& message) {
    const std::string text = logText();
    for (std::size_t at = text.find(message); at != std::string::npos; at = text.find(message, at + 1)) {
      const std::size_t lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
      const std::string head = text.substr(lineStart, at - lineStart);
      if (head.find("[" + level + "]") != std::string::npos && text.compare(at + message.size(), 1, "\n") == 0) {
        return true;
      }
    }
    return false;
  }

  testsupport::TemporaryFolder home_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder config_;
};

}  // namespace veltovoice
