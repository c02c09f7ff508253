#include "app/Shell/SingleInstance.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

using Claim = SingleInstance::Claim;

// Claims from another thread, as a second launch would, while this thread runs the event loop
// that answers.
Claim claimElsewhere(const std::filesystem::path& folder) {
  std::future<Claim> claimed = std::async(std::launch::async, [folder] {
    SingleInstance other(folder);
    return other.claim();
  });
  testsupport::processEventsUntil(
      [&] { return claimed.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  return claimed.get();
}

// Leaves a socket file at `name` as a killed process does: bound, then closed without removal.
void leaveStaleSocket(const QString& name) {
  const std::string path = QDir(QDir::tempPath()).filePath(name).toStdString();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
  ASSERT_EQ(::listen(fd, 1), 0);
  ::close(fd);
  ASSERT_TRUE(std::filesystem::exists(path));
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() { testing::widgetApplication(); }

  testsupport::TemporaryFolder folder_;
};

TEST_F(SingleInstanceTest, SecondLaunchAsksTheFirstToShowItsWindow) {
  SingleInstance first(folder_.path() / "VeltoVoice");
  ASSERT_EQ(first.claim(), Claim::listening);
  QSignalSpy shown(&first, &SingleInstance::showRequested);

  EXPECT_EQ(claimElsewhere(folder_.path() / "VeltoVoice"), Claim::reachedRunning);
  EXPECT_EQ(shown.count(), 1);
  // The same folder by another spelling is the same application.
  EXPECT_EQ(claimElsewhere(folder_.path() / "." / "VeltoVoice"), Claim::reachedRunning);
  EXPECT_EQ(shown.count(), 2);
}

TEST_F(SingleInstanceTest, OtherDataFoldersRunTheirOwnApplication) {
  SingleInstance first(folder_.path() / "one");
  SingleInstance second(folder_.path() / "two");
  EXPECT_NE(first.name(), second.name());
  ASSERT_EQ(first.claim(), Claim::listening);
  EXPECT_EQ(second.claim(), Claim::listening);
}

TEST_F(SingleInstanceTest, StaleSocketOfAKilledApplicationIsTakenOver) {
  SingleInstance instance(folder_.path() / "VeltoVoice");
  leaveStaleSocket(instance.name());
  EXPECT_FALSE(instance.reachRunning());
  ASSERT_EQ(instance.claim(), Claim::listening);
  QSignalSpy shown(&instance, &SingleInstance::showRequested);
  EXPECT_EQ(claimElsewhere(folder_.path() / "VeltoVoice"), Claim::reachedRunning);
  EXPECT_EQ(shown.count(), 1);
}

// The real program, started as a user would, with its own data and preference folders.
class ProgramTest : public SingleInstanceTest {
 protected:
  ~ProgramTest() override {
    for (auto& process : processes_) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished();
      }
    }
  }

  QProcess& launch() {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", QString::fromStdString((folder_.path() / "data").string()));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString((folder_.path() / "config").string()));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(VELTOVOICE_PROGRAM), {});
    EXPECT_TRUE(process->waitForStarted());
    processes_.push_back(std::move(process));
    return *processes_.back();
  }

  // Start lines in the program's log so far.
  int starts() const {
    std::ifstream log(folder_.path() / "data" / "VeltoVoice" / "Logs" / "veltovoice.log");
    int count = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.find("] v") != std::string::npos && line.find(" 起動 ") != std::string::npos) ++count;
    }
    return count;
  }

  // Waits until the program has run its launch (its window is up once it answers requests).
  void waitForStarts(int count) {
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return starts() >= count; })) << starts();
  }

  static bool finishes(QProcess& process) {
    return testsupport::processEventsUntil([&] { return process.state() == QProcess::NotRunning; });
  }

  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(ProgramTest, SecondLaunchEndsAndTheFirstRunsOn) {
  QProcess& first = launch();
  waitForStarts(1);
  QProcess& second = launch();
  ASSERT_TRUE(finishes(second));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(starts(), 1) << "the second launch started its own application";
  EXPECT_EQ(first.state(), QProcess::Running);

  // A termination signal while idle ends it at once, normally.
  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(finishes(first));
  EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(first.exitCode(), 0);
}

TEST_F(ProgramTest, LaunchAfterAKillTakesOverTheSocket) {
  QProcess& killed = launch();
  waitForStarts(1);
  killed.kill();
  ASSERT_TRUE(finishes(killed));

  QProcess& next = launch();
  waitForStarts(2);
  EXPECT_EQ(next.state(), QProcess::Running);
  QProcess& another = launch();
  ASSERT_TRUE(finishes(another));
  EXPECT_EQ(another.exitCode(), 0);
  EXPECT_EQ(starts(), 2);
  EXPECT_EQ(next.state(), QProcess::Running);
}

}  // namespace
}  // namespace veltovoice
