#include "app/Processing/CLIAssistant.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include <QSettings>
#include <QUuid>
#include <unistd.h>

#include "app/Model/AppLog.h"
#include "platform/process/Process.h"
#include "platform/sys/Environment.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/StandardPaths.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSelectedKey = "cleanupAssistant";
constexpr const char* kConsentPrefix = "cleanupConsent.";
constexpr std::size_t kDetailCharacters = 300;
// Longer waits than this are as good as none, and keep the deadline arithmetic finite.
constexpr double kLongestTimeoutSeconds = 1e9;

QSettings preferences() { return QSettings("VeltoVoice", "VeltoVoice"); }

std::string home() { return platform::Environment::value("HOME").value_or(""); }

std::vector<fs::path> searchFolders() {
  const std::string h = home();
  return {h + "/.local/bin",      "/opt/homebrew/bin",   "/usr/local/bin",
          h + "/.claude/local",  h + "/.npm-global/bin", h + "/.bun/bin"};
}

bool isExecutableFile(const fs::path& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored) && ::access(path.c_str(), X_OK) == 0;
}

// The application's environment with PATH led by the usual install folders; without a PATH of
// its own the list ends in ":".
std::vector<std::string> childEnvironment() {
  std::vector<std::string> environment;
  for (std::string& entry : platform::Process::currentEnvironment()) {
    if (entry.rfind("PATH=", 0) != 0) environment.push_back(std::move(entry));
  }
  environment.push_back("PATH=" + home() + "/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:" +
                        platform::Environment::value("PATH").value_or(""));
  return environment;
}

// A request's folder, removed with everything in it when the request ends.
class WorkFolder {
 public:
  WorkFolder()
      : path_(platform::StandardPaths::applicationSupportDirectory() / "VeltoVoice" / "Work" /
              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString()) {
    std::error_code error;
    fs::create_directories(path_, error);
    if (error) throw platform::FileError::fromErrno("create", path_, error.value());
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::chrono::system_clock::time_point deadlineAfter(double seconds) {
  const double bounded = seconds > 0 ? std::min(seconds, kLongestTimeoutSeconds) : 0;
  return std::chrono::system_clock::now() +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             std::chrono::duration<double>(bounded));
}

std::optional<std::string> readAnswerFile(const fs::path& path) {
  try {
    std::string text = platform::readFile(path);
    if (!platform::text::isValidUtf8(text)) return std::nullopt;
    return text;
  } catch (const platform::FileError&) {
    return std::nullopt;
  }
}

}  // namespace

CLIAssistant::Failure::Failure(std::string errorDescription)
    : Error("CLIAssistant.Failure", "VeltoVoice.CLIAssistant.Failure", 1, std::move(errorDescription)) {}

const std::array<CLIAssistant, 3>& CLIAssistant::allCases() {
  static const std::array<CLIAssistant, 3> cases = {claude, codex, gemini};
  return cases;
}

std::optional<CLIAssistant> CLIAssistant::fromRawValue(std::string_view rawValue) {
  for (CLIAssistant assistant : allCases()) {
    if (assistant.rawValue() == rawValue) return assistant;
  }
  return std::nullopt;
}

std::string CLIAssistant::rawValue() const {
  switch (value_) {
    case claude: return "claude";
    case codex: return "codex";
    case gemini: return "gemini";
  }
  return {};
}

std::string CLIAssistant::displayName() const {
  switch (value_) {
    case claude: return "Claude Code";
    case codex: return "ChatGPT（Codex）";
    case gemini: return "Gemini CLI";
  }
  return {};
}

std::vector<std::string> CLIAssistant::arguments(const fs::path& answerFile) const {
  switch (value_) {
    case claude: return {"-p", "--output-format", "text"};
    case codex:
      return {"exec", "-m", "gpt-6-sol", "--skip-git-repo-check", "--sandbox", "read-only",
              "--output-last-message", answerFile.string(), "-"};
    case gemini: return {"-p", "標準入力の依頼に従って答えてください。"};
  }
  return {};
}

bool CLIAssistant::consented() const {
  return preferences().value(QString::fromStdString(kConsentPrefix + rawValue()), false).toBool();
}

void CLIAssistant::setConsented(bool consented) const {
  QSettings settings = preferences();
  settings.setValue(QString::fromStdString(kConsentPrefix + rawValue()), consented);
  settings.sync();
}

std::optional<fs::path> CLIAssistant::executable() const {
  for (const fs::path& folder : searchFolders()) {
    const fs::path candidate = folder / rawValue();
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<CLIAssistant> CLIAssistant::selected() {
  const QVariant stored = preferences().value(kSelectedKey);
  if (!stored.isValid()) return std::nullopt;
  return fromRawValue(stored.toString().toStdString());
}

void CLIAssistant::setSelected(std::optional<CLIAssistant> assistant) {
  QSettings settings = preferences();
  if (assistant) {
    settings.setValue(kSelectedKey, QString::fromStdString(assistant->rawValue()));
  } else {
    settings.remove(kSelectedKey);
  }
  settings.sync();
}

std::string CLIAssistant::failureDetail(std::string_view error) {
  std::size_t end = error.size();
  while (end > 0) {
    const std::size_t newline = error.rfind('\n', end - 1);
    const std::size_t begin = newline == std::string_view::npos ? 0 : newline + 1;
    const std::string_view line = error.substr(begin, end - begin);
    if (line.find("ERROR") != std::string_view::npos || line.find("rror") != std::string_view::npos) {
      return std::string(line);
    }
    if (begin == 0) break;
    end = begin - 1;
  }
  const std::vector<std::string> characters = platform::text::graphemes(error);
  std::string tail;
  for (std::size_t i = characters.size() > kDetailCharacters ? characters.size() - kDetailCharacters : 0;
       i < characters.size(); ++i) {
    tail += characters[i];
  }
  return tail;
}

std::string CLIAssistant::ask(const std::string& prompt, double timeoutSeconds,
                              std::stop_token stop) const {
  const std::optional<fs::path> found = executable();
  if (!found) throw Failure(displayName() + " が見つかりません。");
  const WorkFolder work;
  const fs::path answerFile = work.path() / "answer.txt";

  platform::Process::Configuration configuration;
  configuration.executable = *found;
  configuration.arguments = arguments(answerFile);
  configuration.workingDirectory = work.path();
  configuration.environment = childEnvironment();
  configuration.input = prompt;
  const platform::Process::Outcome outcome =
      platform::Process::run(configuration, deadlineAfter(timeoutSeconds), std::move(stop));

  std::string output = platform::text::repairedUtf8(outcome.output);
  if (outcome.status != 0) {
    const std::string detail = failureDetail(platform::text::repairedUtf8(outcome.error));
    AppLog::error(displayName() + " の呼び出しに失敗: 終了コード " + std::to_string(outcome.status) + " " +
                  detail);
    throw Failure(displayName() + " が答えを返しませんでした：" + platform::text::trimBlanks(detail));
  }
  if (value_ == codex) {
    if (std::optional<std::string> answer = readAnswerFile(answerFile)) return std::move(*answer);
  }
  return output;
}

}  // namespace veltovoice
