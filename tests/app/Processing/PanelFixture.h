#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QLocale>
#include <QMimeData>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/Editor/AudioPlayback.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/lm/SystemLanguageModel.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// The conversation model with the recording's id opened up, so that a test can mark a
// conversation as being recorded without a microphone.
class PanelModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::setLiveID;
};

inline TaskItem task(const std::string& title, std::optional<QUuid> parent = std::nullopt) {
  TaskItem item;
  item.title = title;
  item.parentID = parent;
  return item;
}

inline LiveSegment sentence(const std::string& text, std::optional<double> start) {
  LiveSegment segment;
  segment.text = text;
  segment.start = start;
  return segment;
}

// Sends a drag of `mime` over `target` at `position` (enter, then move) and returns whether the
// target accepted it.
inline bool dragOver(QWidget* target, const QMimeData* mime, QPoint position) {
  QDragEnterEvent enter(position, Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDragMoveEvent move(position, Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &move);
  return move.isAccepted();
}

// Drops `mime` on `target` at `position` after dragging it there; returns whether the drop was
// accepted. The dragged id reaches the target on a later turn of the event loop.
inline bool dropOn(QWidget* target, const QMimeData* mime, QPoint position) {
  if (!dragOver(target, mime, position)) return false;
  QDropEvent drop(position, Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
  return drop.isAccepted();
}

// Types `text` into `widget` one key event per character, as an input method delivers text that
// has no key of its own.
inline void typeInto(QWidget* widget, const QString& text) {
  for (const QChar character : text) {
    QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
}

inline QMimeData* textMime(const QString& text) {
  auto* mime = new QMimeData;
  mime->setText(text);
  return mime;
}

// A real conversation model over a temporary root with stored conversations, a hand-driven clock,
// an in-memory clipboard and the loopback language model (available unless a test says otherwise),
// the application's player on the null sink, and a shown, active window for the panels.
class PanelTest : public ::testing::Test {
 protected:
  PanelTest() {
    widgetApplication();
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  }

  ~PanelTest() override {
    window_.reset();
    model_.reset();
    player_.reset();
    QCoreApplication::processEvents();
  }

  // Stores a conversation before the model is made; returns its id.
  QUuid store(VoiceSession session) {
    EXPECT_FALSE(model_) << "conversations are stored before the model loads them";
    if (session.title.empty()) session.title = "定例";
    session.markdownFile = LiveModel::idText(session.id) + ".md";
    SessionStore::inFolder(root_.path()).save(session);
    return session.id;
  }

  // A conversation of `tasks` (and `sentences`), stored; returns its id.
  QUuid storeTasks(std::vector<TaskItem> tasks, std::vector<LiveSegment> sentences = {}) {
    VoiceSession session;
    session.tasks = std::move(tasks);
    session.segments = std::move(sentences);
    return store(std::move(session));
  }

  PanelModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.clipboard = clipboard_;
      services.languageModel = languageModel_;
      model_ = std::make_unique<PanelModel>(root_.path(), services);
    }
    return *model_;
  }

  // Makes the language model unavailable (the server's model is loading) or available again.
  void setLanguageModelAvailable(bool available) {
    fake_.setProbeAnswer(available ? 200 : 503);
    languageModel_->refreshAvailability();
  }

  AudioPlayback& player() {
    if (!player_) {
      player_ = std::make_unique<AudioPlayback>([](const std::filesystem::path& path) {
        platform::AudioPlayer::Options options;
        options.output = platform::AudioPlayer::Options::Output::nullSink;
        options.nullSinkSpeed = 40;
        return std::make_unique<platform::AudioPlayer>(path, options);
      });
    }
    return *player_;
  }

  // Opens a 10 s recording in the player.
  void openRecording() {
    const auto path = folder_.path() / "panel-recording.wav";
    if (!std::filesystem::exists(path)) {
      testsupport::writeEncoded(path, 8000, {testsupport::sine(440, 8000, 80000, 0.2f)}, "pcm_s16le");
    }
    player().load(path);
    ASSERT_TRUE(player().loaded());
  }

  // A new panel of conversation `sessionID` in the shown, active window, which owns it.
  template <typename Panel>
  Panel& show(const QUuid& sessionID) {
    if (!window_) {
      window_ = std::make_unique<QWidget>();
      new QVBoxLayout(window_.get());
      window_->resize(Panel::kWidth + 40, 900);
      window_->show();
      window_->activateWindow();
      EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    auto* panel = new Panel(model(), player());
    panel->setSessionID(sessionID);
    window_->layout()->addWidget(panel);
    panel->show();
    testsupport::settleEvents();
    return *panel;
  }

  const VoiceSession& current(const QUuid& id) {
    const VoiceSession* found = model().session(id);
    EXPECT_NE(found, nullptr);
    static const VoiceSession none;
    return found ? *found : none;
  }

  std::vector<TaskItem> tasksOf(const QUuid& id) { return current(id).tasks.value_or(std::vector<TaskItem>{}); }

  // The task outline of the conversation, one line per task.
  std::vector<std::string> outline(const QUuid& id) { return current(id).taskOutline(); }

  // The conversation as written to its file once the pending save has run.
  VoiceSession stored(const QUuid& id) {
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    testsupport::settleEvents();
    for (VoiceSession& session : SessionStore::inFolder(root_.path()).loadAll()) {
      if (session.id == id) return session;
    }
    ADD_FAILURE() << "conversation not stored";
    return {};
  }

  testsupport::TemporaryFolder root_;
  testsupport::TemporaryFolder folder_;
  testsupport::LanguageModelFake fake_;
  std::shared_ptr<platform::SystemLanguageModel> languageModel_ = [this] {
    auto made = std::make_shared<platform::SystemLanguageModel>(fake_.configuration());
    made->refreshAvailability();
    return made;
  }();
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  std::unique_ptr<AudioPlayback> player_;
  std::unique_ptr<PanelModel> model_;
  std::unique_ptr<QWidget> window_;
};

}  // namespace veltovoice::testing
