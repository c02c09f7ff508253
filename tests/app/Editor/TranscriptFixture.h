#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QListView>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/TranscriptRowsModel.h"
#include "app/Editor/TranscriptView.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "platform/audio/AudioPlayer.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// The conversation model with what only its recording road writes opened up, so that a test can
// make a conversation the live one and feed it recogniser results.
class TranscriptModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::apply;
  using LiveModel::setLiveID;
  using LiveModel::setVolatileText;
};

inline LiveSegment line(const std::string& text, std::optional<double> start = std::nullopt,
                        std::optional<int> speaker = std::nullopt) {
  LiveSegment segment;
  segment.text = text;
  segment.start = start;
  segment.speaker = speaker;
  return segment;
}

// `count` sentences "文 0", "文 1", ... starting a second apart.
inline std::vector<LiveSegment> numbered(int count) {
  std::vector<LiveSegment> segments;
  for (int i = 0; i < count; ++i) segments.push_back(line("文 " + std::to_string(i), i * 1.0));
  return segments;
}

// A real conversation model over a temporary root with stored conversations, on a clock the test
// moves, a player that plays into the null sink, and the transcript view in a shown, active window.
class TranscriptTest : public ::testing::Test {
 protected:
  void SetUp() override { widgetApplication(); }

  void TearDown() override {
    window_.reset();
    live_.reset();
    player_.reset();
    QCoreApplication::processEvents();
  }

  // Stores a conversation before the model loads; returns its id.
  QUuid store(std::vector<LiveSegment> segments, double startedAt = 0, const std::string& title = "定例") {
    EXPECT_FALSE(live_) << "conversations are stored before the model loads them";
    VoiceSession session;
    session.title = title;
    session.startedAt = startedAt;
    session.segments = std::move(segments);
    session.markdownFile = LiveModel::idText(session.id) + ".md";
    SessionStore::inFolder(root_.path()).save(session);
    return session.id;
  }

  TranscriptModel& live() {
    if (!live_) {
      LiveModelServices services;
      services.clock = clock_;
      live_ = std::make_unique<TranscriptModel>(root_.path(), services);
    }
    return *live_;
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

  // The view of conversation `id` in a window `height` high, shown and active.
  TranscriptView& view(const QUuid& id, int height = 600) {
    live().setSelectedID(id);
    if (!window_) {
      window_ = std::make_unique<QWidget>();
      window_->resize(720, height);
      view_ = new TranscriptView(live(), player(), window_.get());
      view_->setGeometry(0, 0, 720, height);
      window_->show();
      window_->activateWindow();
      EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
      testsupport::settleEvents();
    }
    return *view_;
  }

  QWidget* viewport() { return view_->list()->viewport(); }
  TranscriptRowsModel& rows() { return *view_->rows(); }

  // The centre of `region` of sentence row `row`, in the viewport.
  QPoint at(int row, SegmentRow::Region region) {
    const QRect rect = view_->sentenceRect(row);
    return view_->rowAt(row).regionRect(region, rect).center();
  }

  void clickCheck(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mouseClick(viewport(), Qt::LeftButton, modifiers, at(row, SegmentRow::Region::check));
  }

  // Clicks into the text of `row` and waits until its editor has the focus.
  SegmentTextEdit* editRow(int row) {
    QTest::mouseClick(viewport(), Qt::LeftButton, Qt::NoModifier, at(row, SegmentRow::Region::text));
    EXPECT_TRUE(testsupport::processEventsUntil([this] {
      return view_->sentenceEditor() && view_->sentenceEditor()->hasFocus();
    }));
    return view_->sentenceEditor();
  }

  // The sentence ids of the conversation, in order.
  std::vector<QUuid> ids(const QUuid& sessionID) {
    std::vector<QUuid> found;
    for (const LiveSegment& segment : live().session(sessionID)->segments) found.push_back(segment.id);
    return found;
  }

  // A WAV recording of `seconds` at 8 kHz.
  std::filesystem::path recording(double seconds) {
    const auto path = files_.path() / "recording.wav";
    const auto frames = static_cast<std::size_t>(seconds * 8000);
    testsupport::writeEncoded(path, 8000, {testsupport::sine(440, 8000, frames, 0.2f)}, "pcm_s16le");
    return path;
  }

  // Appends one final recogniser result per text to the live conversation.
  void hear(const std::vector<std::string>& texts, double start = 0) {
    for (const std::string& text : texts) {
      devadevev::LiveTranscriber::Update update;
      update.isFinal = true;
      update.text = text;
      update.start = start;
      update.end = start + 1;
      live().apply(update);
      start += 1;
    }
  }

  testsupport::TemporaryFolder root_;
  testsupport::TemporaryFolder files_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<AudioPlayback> player_;
  std::unique_ptr<TranscriptModel> live_;
  std::unique_ptr<QWidget> window_;
  TranscriptView* view_ = nullptr;
};

}  // namespace veltovoice::testing
