#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include "tests/app/Shell/AppEntryFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

// A closed terminal sends SIGHUP; the application ends by its one quit road, as for SIGTERM.
class HangUpTest : public testing::AppEntryTest {};

TEST_F(HangUpTest, WritesAPendingEditAndSavesTheRecording) {
  VoiceSession stored;
  stored.title = "最初の題";
  stored.startedAt = 100;
  stored.audioFile = "stored.m4a";
  stored.markdownFile = "stored.md";
  SessionStore::inFolder(root()).save(stored);
  useInput(12, {0.5, 2.4}, 1.0);
  delegate().launch();
  const QUuid live = startRecording();
  playToEnd(1, true);
  model().renameSession(stored.id, "直前に変えた題");

  ::raise(SIGHUP);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
  EXPECT_TRUE(questionTexts_.empty()) << "asked without a user";
  EXPECT_EQ(model().phase(), Phase::idle);
  // The clock never moved: only the quit road wrote the edit.
  EXPECT_EQ(storedCopy(stored.id)->title, "直前に変えた題");
  const std::optional<VoiceSession> recorded = storedCopy(live);
  ASSERT_TRUE(recorded);
  EXPECT_TRUE(recorded->duration);
  EXPECT_EQ(recorded->segments.size(), 2u);
}

// The real program, started as a user would, with its own data and preference folders.
TEST_F(HangUpTest, ProgramEndsNormallyOnAHangUp) {
  testsupport::TemporaryFolder folder;
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_DATA_HOME", QString::fromStdString((folder / "data").string()));
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString((folder / "config").string()));
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  program.start(QStringLiteral(VELTOVOICE_PROGRAM), {});
  ASSERT_TRUE(program.waitForStarted());
  const std::filesystem::path log = folder / "data" / "VeltoVoice" / "Logs" / "veltovoice.log";
  auto started = [&] {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      if (line.find(" 起動 ") != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(testsupport::processEventsUntil(started));

  ::kill(static_cast<pid_t>(program.processId()), SIGHUP);
  const bool ended = testsupport::processEventsUntil([&] { return program.state() == QProcess::NotRunning; });
  if (!ended) program.kill();
  ASSERT_TRUE(ended);
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "ended by the signal itself";
  EXPECT_EQ(program.exitCode(), 0);
  // The quit road writes the window's frame before it lets the program end.
  std::ifstream settings(folder / "config" / "VeltoVoice" / "VeltoVoice.conf");
  const std::string text((std::istreambuf_iterator<char>(settings)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("VeltoVoiceMainWindow"), std::string::npos) << text;
}

}  // namespace
}  // namespace veltovoice
