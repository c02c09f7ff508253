#include <signal.h>

#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include "app/Model/SessionStore.h"
#include "app/Model/VoiceSession.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbDisplay.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Image = testsupport::XvfbDisplay::Image;

// The pixels where `a` and `b` differ within the leftmost 40 columns of their difference: the
// play/pause button, which sits left of everything else that changes while playing (the slider and
// the time).
std::vector<std::size_t> leftmostDifference(const Image& a, const Image& b) {
  std::vector<std::size_t> changed;
  if (a.width != b.width || a.height != b.height) return changed;
  int left = a.width;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    if (a.pixels[i] != b.pixels[i]) left = std::min(left, static_cast<int>(i % static_cast<std::size_t>(a.width)));
  }
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    const int x = static_cast<int>(i % static_cast<std::size_t>(a.width));
    if (a.pixels[i] != b.pixels[i] && x < left + 40) changed.push_back(i);
  }
  return changed;
}

bool showsAt(const Image& image, const Image& reference, const std::vector<std::size_t>& pixels) {
  if (image.pixels.size() != reference.pixels.size()) return false;
  for (const std::size_t i : pixels) {
    if (image.pixels[i] != reference.pixels[i]) return false;
  }
  return true;
}

// The real program on an X server with a conversation that has a recording: the keys a user types
// start and pause playback. Alt+Space would open the window menu of most desktops instead.
TEST(PlayPauseKeyTest, CtrlShiftSpaceTogglesPlaybackInTheRealProgram) {
  testsupport::TemporaryFolder folder;
  const fs::path root = folder / "data" / "VeltoVoice";
  VoiceSession session;
  session.title = "再生の確認";
  session.startedAt = 100;
  session.duration = 120;
  session.audioFile = "recording.m4a";
  session.markdownFile = "recording.md";
  fs::create_directories(root / "Audio");
  testsupport::writeAac(root / "Audio" / "recording.m4a", 16000,
                        {testsupport::sine(440, 16000, 16000 * 120, 0.2f)});
  SessionStore::inFolder(root).save(session);

  testsupport::XvfbDisplay display;
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_DATA_HOME", QString::fromStdString((folder / "data").string()));
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString((folder / "config").string()));
  environment.insert("QT_QPA_PLATFORM", "xcb");
  environment.insert("DISPLAY", QString::fromStdString(display.name()));
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  program.start(QStringLiteral(VELTOVOICE_PROGRAM), {});
  ASSERT_TRUE(program.waitForStarted());

  // The window, once it has shown the conversation and stopped changing.
  std::optional<unsigned long> window;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return (window = display.largestWindow()).has_value(); }));
  display.focus(*window);
  // Unchanged for a second: the repaint for the window becoming active is behind us, so that the
  // first change after the key is the key's.
  Image paused;
  auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(testsupport::processEventsUntil([&] {
    Image now = display.capture(*window);
    if (now.pixels.empty() || !(now == paused)) since = std::chrono::steady_clock::now();
    paused = std::move(now);
    return std::chrono::steady_clock::now() - since >= std::chrono::seconds(1);
  }));

  display.typeChord({XK_Control_L, XK_Shift_L, XK_space});
  Image playing;
  ASSERT_TRUE(testsupport::processEventsUntil([&] {
    playing = display.capture(*window);
    return !playing.pixels.empty() && !(playing == paused);
  })) << "the key did not start playback";
  const std::vector<std::size_t> button = leftmostDifference(paused, playing);
  ASSERT_FALSE(button.empty());

  display.typeChord({XK_Control_L, XK_Shift_L, XK_space});
  EXPECT_TRUE(testsupport::processEventsUntil([&] { return showsAt(display.capture(*window), paused, button); }))
      << "the key did not pause playback";

  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  EXPECT_TRUE(program.waitForFinished(60000));
}

}  // namespace
}  // namespace veltovoice
