#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys/Error.h"

namespace veltovoice {

// One of the outside command-line assistants that the user may have installed and logged into:
// claude, codex or gemini. A value; the preferences it reads and writes are the application's
// QSettings, which any thread may use, and ask() blocks its caller's thread (never the GUI
// thread's: it waits for the assistant).
//
// Preferences (QSettings of organisation and application "VeltoVoice"):
//   "cleanupAssistant"            the raw value of the assistant chosen for clean-up; anything else
//                                 or nothing means none is chosen
//   "cleanupConsent.<raw value>"  bool: conversations may be sent to that assistant
//
// The executable is the file named by the raw value in the first of these folders that holds an
// executable one: ~/.local/bin, /opt/homebrew/bin, /usr/local/bin, ~/.claude/local,
// ~/.npm-global/bin, ~/.bun/bin (~ is $HOME).
class CLIAssistant {
 public:
  enum Value { claude, codex, gemini };

  // The runner's own error; its description is the whole message for the user.
  class Failure : public platform::Error {
   public:
    explicit Failure(std::string errorDescription);
    const std::string& errorDescription() const { return description(); }
  };

  constexpr CLIAssistant(Value value) : value_(value) {}  // NOLINT: a case reads as its value

  Value value() const { return value_; }
  bool operator==(const CLIAssistant&) const = default;

  // claude, codex, gemini, in that order.
  static const std::array<CLIAssistant, 3>& allCases();
  // The case whose raw value is `rawValue`, or nothing.
  static std::optional<CLIAssistant> fromRawValue(std::string_view rawValue);

  // "claude", "codex", "gemini": also the executable's file name.
  std::string rawValue() const;
  std::string id() const { return rawValue(); }
  // "Claude Code", "ChatGPT（Codex）", "Gemini CLI".
  std::string displayName() const;
  // The command line after the executable; `answerFile` is where codex writes its last message.
  std::vector<std::string> arguments(const std::filesystem::path& answerFile) const;

  // The consent preference of this assistant; absent reads as false.
  bool consented() const;
  void setConsented(bool consented) const;

  // The first executable file of the search, looked up anew on every call.
  std::optional<std::filesystem::path> executable() const;
  bool installed() const { return executable().has_value(); }

  // The assistant chosen in the preferences, or nothing.
  static std::optional<CLIAssistant> selected();
  // Stores `assistant` as the one chosen for clean-up; with nothing, forgets the choice.
  static void setSelected(std::optional<CLIAssistant> assistant);

  // Runs one request in a new work folder ($XDG_DATA_HOME/VeltoVoice/Work/<UUID>, removed again
  // whatever happens): starts the executable there with its arguments and a PATH that holds the
  // usual install folders before the application's own, writes `prompt` to its standard input and
  // waits at most `timeoutSeconds` (then it is terminated). Returns standard output as it came
  // (invalid UTF-8 repaired, nothing trimmed); for codex the answer file instead when it could be
  // read. Throws Failure when no executable is found or the assistant ends with a nonzero status
  // (an error line is logged then), FileError when the work folder cannot be made or the
  // executable cannot be launched, CancellationError when `stop` is requested while it runs.
  std::string ask(const std::string& prompt, double timeoutSeconds, std::stop_token stop) const;

  // The detail of a failure in the error text `error`: walking its non-empty lines from the last,
  // the first that holds "ERROR" or "rror"; else its last 300 characters.
  static std::string failureDetail(std::string_view error);

 private:
  Value value_;
};

}  // namespace veltovoice

template <>
struct std::hash<veltovoice::CLIAssistant> {
  std::size_t operator()(const veltovoice::CLIAssistant& assistant) const noexcept {
    return std::hash<int>()(static_cast<int>(assistant.value()));
  }
};
