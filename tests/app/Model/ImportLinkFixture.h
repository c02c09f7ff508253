#pragma once

// The world of the import and linking tests: a conversation model over a temporary root with the
// real store and log, a home folder of the test's own holding (or not) the Voice Memos recordings
// folder, a hand-driven clock and a file chooser that answers what the test says.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <QThreadPool>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/Model/LiveModel.h"
#include "app/Model/UserLocale.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

namespace fs = std::filesystem;

inline std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string asString(const testsupport::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Seconds since 2001 of a local wall-clock time on 2 January 2025 in Tokyo, the zone CTest sets.
inline double jan2Tokyo(int hour, int minute, int second) {
  using namespace std::chrono;
  const auto instant = sys_days{year{2025} / January / 2} + hours{hour} + minutes{minute} +
                       seconds{second} - hours{9};
  return duration<double>(instant - sys_days{year{2001} / January / 1}).count();
}

// `seconds` of a 440 Hz tone at 16 kHz, written by FFmpeg into `path` (AAC for .m4a, PCM for .wav).
inline void writeTone(const fs::path& path, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * 16000);
  const testsupport::Channels channels{testsupport::sine(440, 16000, frames)};
  if (path.extension() == ".wav") {
    testsupport::writeEncoded(path, 16000, channels, "pcm_s16le");
  } else {
    testsupport::writeAac(path, 16000, channels);
  }
}

class ImportLinkFixture : public ::testing::Test {
 protected:
  ImportLinkFixture() {
    // One process per test: the log folder and the home folder can be this test's own.
    ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ::setenv("HOME", home_.path().c_str(), 1);
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, nullptr);
  }

  ~ImportLinkFixture() override {
    model_.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
  }

  fs::path root() const { return root_.path(); }
  fs::path audioFolder() const { return root() / "Audio"; }
  fs::path recordings() const {
    return home_ / "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings";
  }
  SessionStore store() const { return SessionStore::inFolder(root()); }

  // Writes `session` as a stored conversation, to be loaded by the model.
  VoiceSession stored(VoiceSession session) {
    store().save(session);
    return session;
  }

  static VoiceSession conversation(const std::string& title, double startedAt) {
    VoiceSession session;
    session.title = title;
    session.startedAt = startedAt;
    return session;
  }

  LiveModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.chooseFile = [this](const std::string& message,
                                   const std::vector<std::string>& filters) {
        askedMessages_.push_back(message);
        askedFilters_ = filters;
        return chosen_;
      };
      model_ = std::make_unique<LiveModel>(root(), services);
    }
    return *model_;
  }

  // Makes the model and lets its start-up pass over conversations without a recording end.
  LiveModel& modelAfterStartupPass() {
    LiveModel& live = model();
    QCoreApplication::processEvents();
    while (clock_->pendingSleeps() > 0) {
      clock_->advance(1.0);
      QCoreApplication::processEvents();
    }
    return live;
  }

  // The conversation on disk, or nothing when its file is missing.
  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::exists(file)) return std::nullopt;
    return VoiceSession::fromJsonText(bytesOf(file));
  }

  // Names of the entries of the Audio folder.
  std::vector<std::string> audioEntries() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(audioFolder(), error)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Runs the event loop until `done` holds; fails the test after a minute, which only a hung
  // operation takes.
  static void runUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
      QCoreApplication::processEvents();
      if (done()) return;
      if (std::chrono::steady_clock::now() > giveUp) {
        ADD_FAILURE() << "the operation did not finish";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Runs the event loop until `task` has finished or sleeps on the clock.
  void settle(const QCoro::Task<>& task) {
    runUntil([&] { return task.isReady() || clock_->pendingSleeps() > 0; });
  }

  // Drives `task` to its end, moving the clock on in steps of `step` seconds (a binary fraction,
  // so that whole-second pauses add up exactly) whenever it sleeps;
  // `beforeStep` runs before each step.
  void drive(const QCoro::Task<>& task, double step = 0.0625,
             const std::function<void()>& beforeStep = {}) {
    for (settle(task); !task.isReady(); settle(task)) {
      if (beforeStep) beforeStep();
      clock_->advance(step);
    }
  }

  void finish(const QCoro::Task<>& task) { runUntil([&] { return task.isReady(); }); }

  // Writes `bytes` into the named pipe at `pipe` once its reader has opened it, and closes it.
  static void releasePipe(const fs::path& pipe, const std::string& bytes) {
    int fd = -1;
    runUntil([&] {
      fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      return fd >= 0;
    });
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }

  int argc_ = 0;
  std::unique_ptr<QCoreApplication> app_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder home_;
  testsupport::TemporaryFolder root_;
  testsupport::TemporaryFolder sources_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::optional<fs::path> chosen_;
  std::vector<std::string> askedMessages_;
  std::vector<std::string> askedFilters_;
  std::unique_ptr<LiveModel> model_;
};

}  // namespace veltovoice::testing
