#include "platform/process/Process.h"

#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "tests/support/ShellScript.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Scripts run from a temporary folder; each test writes the one it needs.
class ProcessTest : public ::testing::Test {
 protected:
  Process::Configuration script(const std::string& body) {
    const fs::path path = folder_ / "child.sh";
    testsupport::writeShellScript(path, body);
    Process::Configuration configuration;
    configuration.executable = path;
    configuration.environment = Process::currentEnvironment();
    return configuration;
  }

  static std::chrono::system_clock::time_point in(std::chrono::milliseconds delay) {
    return std::chrono::system_clock::now() + delay;
  }

  // Waits (without a time limit of its own: the test's timeout is the bound) until `condition`.
  template <typename Condition>
  static void waitUntil(Condition condition) {
    while (!condition()) std::this_thread::sleep_for(10ms);
  }

  int readPid(const fs::path& file) {
    waitUntil([&] { return fs::exists(file) && fs::file_size(file) > 0; });
    return std::stoi(readFile(file));
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(ProcessTest, PassesArgumentsEnvironmentAndFolderAndCollectsBothStreams) {
  Process::Configuration configuration =
      script("printf '%s|' \"$@\"; printf '%s|%s' \"$GREETING\" \"$(pwd)\"; echo oops >&2; exit 3\n");
  configuration.arguments = {"one", "two words", ""};
  configuration.environment = {"GREETING=hello"};
  configuration.workingDirectory = folder_.path();

  const Process::Outcome outcome = Process::run(configuration, in(60s), {});
  EXPECT_EQ(outcome.output, "one|two words||hello|" + fs::canonical(folder_.path()).string());
  EXPECT_EQ(outcome.error, "oops\n");
  EXPECT_EQ(outcome.status, 3);
  EXPECT_FALSE(outcome.signalled);
  EXPECT_FALSE(outcome.timedOut);
}

TEST_F(ProcessTest, MegabytesOnInputOutputAndErrorAtOnceDoNotDeadlock) {
  // The child fills standard error before it writes standard output and reads its input last.
  Process::Configuration configuration = script(
      "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
      "head -c 3000000 /dev/zero | tr '\\0' o\n"
      "wc -c\n");
  configuration.input = std::string(2'000'000, 'i');

  const Process::Outcome outcome = Process::run(configuration, in(120s), {});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.error.size(), 3'000'000u);
  EXPECT_EQ(outcome.output.size(), 3'000'000u + std::string("2000000\n").size());
  EXPECT_EQ(outcome.output.substr(3'000'000), "2000000\n");
}

TEST_F(ProcessTest, ChildThatNeverReadsItsInputStillMeetsTheDeadline) {
  Process::Configuration configuration = script("exec sleep 30\n");
  configuration.input = std::string(4'000'000, 'x');  // far beyond a pipe's buffer

  const Process::Outcome outcome = Process::run(configuration, in(300ms), {});
  EXPECT_TRUE(outcome.timedOut);
  EXPECT_TRUE(outcome.signalled);
  EXPECT_EQ(outcome.status, SIGTERM);
}

TEST_F(ProcessTest, ChildThatExitsWithoutReadingItsInputLeavesTheCallerAlive) {
  // Without SIGPIPE ignored, the write after the child's exit would end this test binary.
  Process::Configuration configuration = script("echo done\n");
  configuration.input = std::string(4'000'000, 'x');

  const Process::Outcome outcome = Process::run(configuration, in(60s), {});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output, "done\n");
}

TEST_F(ProcessTest, ChildIgnoringTerminationIsKilled) {
  Process::Configuration configuration = script("trap '' TERM\nwhile :; do sleep 1; done\n");
  configuration.killDelay = 200ms;

  const Process::Outcome outcome = Process::run(configuration, in(300ms), {});
  EXPECT_TRUE(outcome.timedOut);
  EXPECT_TRUE(outcome.signalled);
  EXPECT_EQ(outcome.status, SIGKILL);
}

TEST_F(ProcessTest, GrandchildHoldingThePipesNeitherHangsTheRunNorOutlivesIt) {
  const fs::path pidFile = folder_ / "grandchild.pid";
  Process::Configuration configuration =
      script("sleep 300 &\necho $! > '" + pidFile.string() + "'\necho answer\nexit 0\n");

  const Process::Outcome outcome = Process::run(configuration, in(120s), {});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output, "answer\n");
  const int grandchild = readPid(pidFile);
  waitUntil([&] { return testsupport::processEnded(grandchild); });
}

TEST_F(ProcessTest, StopEndsTheChildAndThrowsCancellation) {
  const fs::path started = folder_ / "started";
  const fs::path pidFile = folder_ / "child.pid";
  Process::Configuration configuration = script("echo $$ > '" + pidFile.string() + "'\ntouch '" +
                                                started.string() + "'\nexec sleep 300\n");
  std::stop_source stop;
  auto run = std::async(std::launch::async,
                        [&] { return Process::run(configuration, in(300s), stop.get_token()); });
  waitUntil([&] { return fs::exists(started); });
  stop.request_stop();

  EXPECT_THROW(run.get(), CancellationError);
  EXPECT_TRUE(testsupport::processEnded(readPid(pidFile)));
}

TEST_F(ProcessTest, StopRequestedBeforehandLaunchesNothing) {
  const fs::path marker = folder_ / "ran";
  Process::Configuration configuration = script("touch '" + marker.string() + "'\n");
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(Process::run(configuration, in(60s), stop.get_token()), CancellationError);
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(ProcessTest, LaunchFailuresAreFileErrorsNamingTheExecutable) {
  struct Case {
    const char* name;
    const char* file;
    const char* content;  // nullptr: no file
  };
  const Case cases[] = {
      {"missing executable", "missing", nullptr},
      {"interpreter that does not exist", "broken", "#!/nonexistent/interpreter\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process::Configuration configuration;
    configuration.executable = folder_ / c.file;
    if (c.content) {
      writeFileAtomically(configuration.executable, c.content);
      fs::permissions(configuration.executable, fs::perms::owner_all);
    }
    try {
      Process::run(configuration, in(60s), {});
      ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
      EXPECT_EQ(error.filePath(), configuration.executable);
      EXPECT_EQ(error.code(), ENOENT);
    }
  }
}

}  // namespace
}  // namespace platform
