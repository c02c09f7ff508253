#include "app/Processing/CLIAssistant.h"

#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"
#include "tests/app/Processing/AssistantFixture.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

using CLIAssistantTest = AssistantFixture;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> folderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

TEST_F(CLIAssistantTest, CasesKeepTheirRawValuesNamesAndCommandLines) {
  struct Case {
    CLIAssistant assistant;
    const char* rawValue;
    const char* displayName;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {CLIAssistant::claude, "claude", "Claude Code", {"-p", "--output-format", "text"}},
      {CLIAssistant::codex, "codex", "ChatGPT（Codex）",
       {"exec", "-m", "gpt-6-sol", "--skip-git-repo-check", "--sandbox", "read-only",
        "--output-last-message", "/w/answer.txt", "-"}},
      {CLIAssistant::gemini, "gemini", "Gemini CLI", {"-p", "標準入力の依頼に従って答えてください。"}},
  };
  ASSERT_EQ(CLIAssistant::allCases().size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.rawValue);
    EXPECT_EQ(CLIAssistant::allCases()[i], c.assistant);
    EXPECT_EQ(c.assistant.rawValue(), c.rawValue);
    EXPECT_EQ(c.assistant.id(), c.rawValue);
    EXPECT_EQ(c.assistant.displayName(), c.displayName);
    EXPECT_EQ(c.assistant.arguments("/w/answer.txt"), c.arguments);
    EXPECT_EQ(CLIAssistant::fromRawValue(c.rawValue), c.assistant);
  }
}

TEST_F(CLIAssistantTest, SelectedIsNoneUnlessTheSettingNamesAnAssistant) {
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    std::optional<CLIAssistant> selected;
  };
  const Case cases[] = {
      {"absent", std::nullopt, std::nullopt},
      {"empty", "", std::nullopt},
      {"unknown", "copilot", std::nullopt},
      {"other case", "Claude", std::nullopt},
      {"display name", "Gemini CLI", std::nullopt},
      {"claude", "claude", CLIAssistant::claude},
      {"codex", "codex", CLIAssistant::codex},
      {"gemini", "gemini", CLIAssistant::gemini},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    choose(c.stored);
    EXPECT_EQ(CLIAssistant::selected(), c.selected);
  }
}

TEST_F(CLIAssistantTest, ConsentIsKeptPerAssistantInThePreferences) {
  for (CLIAssistant assistant : CLIAssistant::allCases()) EXPECT_FALSE(assistant.consented());
  CLIAssistant(CLIAssistant::codex).setConsented(true);
  EXPECT_FALSE(CLIAssistant(CLIAssistant::claude).consented());
  EXPECT_TRUE(CLIAssistant(CLIAssistant::codex).consented());
  EXPECT_FALSE(CLIAssistant(CLIAssistant::gemini).consented());
  QSettings settings("VeltoVoice", "VeltoVoice");
  EXPECT_TRUE(settings.value("cleanupConsent.codex").toBool());
  EXPECT_TRUE(fs::exists(config_ / "VeltoVoice" / "VeltoVoice.conf"));
}

TEST_F(CLIAssistantTest, SearchTakesTheFirstExecutableOfTheFolders) {
  if (systemHas(CLIAssistant::claude)) GTEST_SKIP() << "this machine has claude in a system folder";
  struct Placed {
    const char* folder;
    bool executable;
  };
  struct Case {
    const char* name;
    std::vector<Placed> placed;
    std::optional<std::string> found;  // folder relative to HOME
  };
  const Case cases[] = {
      {"none", {}, std::nullopt},
      {"first folder before the last", {{".bun/bin", true}, {".local/bin", true}}, ".local/bin"},
      {"not executable is passed over", {{".local/bin", false}, {".npm-global/bin", true}}, ".npm-global/bin"},
      {"only not executable", {{".local/bin", false}}, std::nullopt},
      {"claude's own folder", {{".claude/local", true}}, ".claude/local"},
      {"fourth before fifth", {{".npm-global/bin", true}, {".claude/local", true}}, ".claude/local"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* folder : {".local/bin", ".claude/local", ".npm-global/bin", ".bun/bin"}) {
      fs::remove_all(home() / folder);
    }
    for (const Placed& placed : c.placed) install(CLIAssistant::claude, "exit 0\n", placed.folder, placed.executable);
    const std::optional<fs::path> found = CLIAssistant(CLIAssistant::claude).executable();
    if (c.found) {
      EXPECT_EQ(found, home() / *c.found / "claude");
    } else {
      EXPECT_EQ(found, std::nullopt);
    }
    EXPECT_EQ(CLIAssistant(CLIAssistant::claude).installed(), c.found.has_value());
    EXPECT_FALSE(CLIAssistant(CLIAssistant::gemini).installed());
  }
}

TEST_F(CLIAssistantTest, AskFeedsThePromptAndReturnsStandardOutputUntrimmed) {
  install(CLIAssistant::claude, "cat\nprintf '\\n  \\n'\n");
  const std::string prompt = "一行目\n  二行目 {\"n\":1}  ";
  EXPECT_EQ(CLIAssistant(CLIAssistant::claude).ask(prompt, 60, {}), prompt + "\n  \n");
}

TEST_F(CLIAssistantTest, AskRepairsInvalidUtf8InTheAnswer) {
  install(CLIAssistant::gemini, "printf '\\377\\376ok'\n");
  EXPECT_EQ(CLIAssistant(CLIAssistant::gemini).ask("x", 60, {}), "\xEF\xBF\xBD\xEF\xBF\xBDok");
}

TEST_F(CLIAssistantTest, CodexAnswerFileWinsOverStandardOutput) {
  struct Case {
    const char* name;
    const char* fileContent;  // nullptr: codex writes no file
    const char* answer;
  };
  const Case cases[] = {
      {"answer file", "{\"lines\":[]}\n", "{\"lines\":[]}\n"},
      {"empty answer file", "", ""},
      {"no answer file", nullptr, "from stdout\n"},
      {"answer file not UTF-8", "\\377", "from stdout\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body =
        "printf '%s\\n' \"$@\" > \"$HOME/arguments\"\n"
        "while [ $# -gt 1 ]; do [ \"$1\" = --output-last-message ] && answer=$2; shift; done\n";
    if (c.fileContent) body += std::string("printf '") + c.fileContent + "' > \"$answer\"\n";
    body += "echo from stdout\n";
    install(CLIAssistant::codex, body);

    EXPECT_EQ(CLIAssistant(CLIAssistant::codex).ask("prompt", 60, {}), c.answer);
    const std::vector<std::string> arguments = linesOf(platform::readFile(home() / "arguments"));
    ASSERT_EQ(arguments.size(), 9u);
    EXPECT_THAT(arguments[7], MatchesRegex(".*/VeltoVoice/Work/[0-9A-F-]{36}/answer\\.txt"));
    EXPECT_EQ(arguments[8], "-");
  }
}

TEST_F(CLIAssistantTest, EveryRequestRunsInAFolderOfItsOwnThatIsGoneAfterwards) {
  struct Case {
    const char* name;
    const char* tail;  // the script's end
    double timeout;
    bool fails;
  };
  const Case cases[] = {
      {"answer", "echo ok\n", 60, false},
      {"nonzero exit", "echo 'Error: no' >&2\nexit 2\n", 60, true},
      {"time-out", "exec sleep 30\n", 0.3, true},
      {"leftover files", "mkdir -p deep/er && echo x > deep/er/file && echo x > answer.txt\n", 60, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install(CLIAssistant::claude, std::string("pwd > \"$HOME/where\"\n") + c.tail);
    bool failed = false;
    try {
      CLIAssistant(CLIAssistant::claude).ask("prompt", c.timeout, {});
    } catch (const CLIAssistant::Failure&) {
      failed = true;
    }
    EXPECT_EQ(failed, c.fails);
    const std::string where = linesOf(platform::readFile(home() / "where")).at(0);
    EXPECT_EQ(fs::path(where).parent_path(), fs::canonical(workRoot()));
    EXPECT_THAT(fs::path(where).filename().string(), MatchesRegex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"));
    EXPECT_FALSE(fs::exists(where));
    EXPECT_THAT(folderEntries(workRoot()), IsEmpty());
  }
}

TEST_F(CLIAssistantTest, ChildPathLeadsWithTheInstallFoldersBeforeTheApplicationsOwn) {
  install(CLIAssistant::claude, "printf '%s' \"$PATH\"\n");
  const std::string fixed = home().string() + "/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:";
  setenv("PATH", "/opt/tools/bin:/usr/bin", 1);
  EXPECT_EQ(CLIAssistant(CLIAssistant::claude).ask("", 60, {}), fixed + "/opt/tools/bin:/usr/bin");
  unsetenv("PATH");
  EXPECT_EQ(CLIAssistant(CLIAssistant::claude).ask("", 60, {}), fixed);
}

TEST_F(CLIAssistantTest, NonzeroExitReportsTheErrorLineFoundFromTheEnd) {
  struct Case {
    const char* name;
    std::string error;   // the child's standard error
    std::string detail;  // as logged
    std::string shown;   // as the failure ends
  };
  const Case cases[] = {
      {"only the middle line has rror", "starting\n  Error: quota exceeded\t\nbye\n",
       "  Error: quota exceeded\t", "Error: quota exceeded"},
      {"the later of two ERROR lines", "ERROR one\nplain\nERROR two\n\n", "ERROR two", "ERROR two"},
      {"rror at the end beats ERROR at the start", "ERROR first\nmiddle\nan error at last\n",
       "an error at last", "an error at last"},
      {"no match: the last 300 characters", std::string(700, 'a') + [] {
         std::string s;
         for (int i = 0; i < 300; ++i) s += "い";
         return s;
       }(),
       "", ""},
      {"short text without a match is taken whole", "fatal: denied\nERR\n", "fatal: denied\nERR\n",
       "fatal: denied\nERR\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::writeFileAtomically(home() / "stderr", c.error);
    install(CLIAssistant::gemini, "cat \"$HOME/stderr\" >&2\nexit 1\n");
    const std::string detail = c.detail.empty() ? c.error.substr(700) : c.detail;
    const std::string shown = c.shown.empty() ? c.error.substr(700) : c.shown;
    try {
      CLIAssistant(CLIAssistant::gemini).ask("prompt", 60, {});
      ADD_FAILURE() << "no failure";
    } catch (const CLIAssistant::Failure& failure) {
      EXPECT_EQ(failure.errorDescription(), "Gemini CLI が答えを返しませんでした：" + shown);
      EXPECT_STREQ(failure.what(), failure.errorDescription().c_str());
    }
    EXPECT_TRUE(logged("ERROR", "Gemini CLI の呼び出しに失敗: 終了コード 1 " + detail));
  }
}

TEST_F(CLIAssistantTest, TimeOutEndsAsTheTerminationStatus) {
  install(CLIAssistant::claude, "echo 'still thinking' >&2\nexec sleep 30\n");
  try {
    CLIAssistant(CLIAssistant::claude).ask(std::string(1'000'000, 'x'), 0.3, {});
    ADD_FAILURE() << "no failure";
  } catch (const CLIAssistant::Failure& failure) {
    EXPECT_EQ(failure.errorDescription(), "Claude Code が答えを返しませんでした：still thinking\n");
  }
  EXPECT_TRUE(logged("ERROR", "Claude Code の呼び出しに失敗: 終了コード 15 still thinking\n"));
}

TEST_F(CLIAssistantTest, MissingExecutableFailsBeforeAnyFolderIsMade) {
  if (systemHas(CLIAssistant::gemini)) GTEST_SKIP() << "this machine has gemini in a system folder";
  install(CLIAssistant::gemini, "exit 0\n", ".local/bin", false);
  try {
    CLIAssistant(CLIAssistant::gemini).ask("prompt", 60, {});
    ADD_FAILURE() << "no failure";
  } catch (const CLIAssistant::Failure& failure) {
    EXPECT_EQ(failure.errorDescription(), "Gemini CLI が見つかりません。");
  }
  EXPECT_FALSE(fs::exists(workRoot()));
}

TEST_F(CLIAssistantTest, LaunchFailureIsAFileErrorAndLeavesNoFolder) {
  const fs::path path = home() / ".local/bin/claude";
  fs::create_directories(path.parent_path());
  platform::writeFileAtomically(path, "#!/nonexistent/interpreter\n");
  fs::permissions(path, fs::perms::owner_all);
  EXPECT_THROW(CLIAssistant(CLIAssistant::claude).ask("prompt", 60, {}), platform::FileError);
  EXPECT_THAT(folderEntries(workRoot()), IsEmpty());
  EXPECT_FALSE(logged("ERROR", "Claude Code の呼び出しに失敗"));
}

TEST_F(CLIAssistantTest, StopEndsTheRequestWithCancellationAndRemovesItsFolder) {
  install(CLIAssistant::codex, "touch \"$HOME/started\"\nexec sleep 300\n");
  std::stop_source stop;
  auto request = std::async(std::launch::async, [&] {
    return CLIAssistant(CLIAssistant::codex).ask("prompt", 300, stop.get_token());
  });
  while (!fs::exists(home() / "started")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop.request_stop();
  EXPECT_THROW(request.get(), platform::CancellationError);
  EXPECT_THAT(folderEntries(workRoot()), IsEmpty());
  EXPECT_EQ(logText().find("の呼び出しに失敗"), std::string::npos);
}

}  // namespace
}  // namespace veltovoice
