#pragma once

#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// A real conversation model over a temporary root holding the given conversations, on a clock the
// test moves, and a shown, active window for the widgets under test.
class EditorWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override { widgetApplication(); }

  void TearDown() override {
    window_.reset();
    live_.reset();
    QCoreApplication::processEvents();
  }

  LiveModel& load(std::vector<VoiceSession> sessions) {
    for (VoiceSession& session : sessions) {
      if (session.title.empty()) session.title = "定例";
      if (!session.markdownFile) session.markdownFile = session.title + "-" + LiveModel::idText(session.id) + ".md";
      SessionStore::inFolder(root_.path()).save(session);
    }
    LiveModelServices services;
    services.clock = clock_;
    live_ = std::make_unique<LiveModel>(root_.path(), services);
    return *live_;
  }

  // The window, shown and active, `width` wide.
  QWidget& window(int width = 640, int height = 200) {
    if (!window_) {
      window_ = std::make_unique<QWidget>();
      window_->resize(width, height);
      window_->show();
      window_->activateWindow();
      EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    return *window_;
  }

  const VoiceSession& session(const QUuid& id) {
    const VoiceSession* found = live_->session(id);
    EXPECT_NE(found, nullptr);
    return *found;
  }

  // The conversation as written to its file once the pending save has run.
  VoiceSession stored(const QUuid& id) {
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    for (VoiceSession& session : SessionStore::inFolder(root_.path()).loadAll()) {
      if (session.id == id) return session;
    }
    ADD_FAILURE() << "conversation not stored";
    return {};
  }

  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<LiveModel> live_;
  std::unique_ptr<QWidget> window_;
};

// Types `text` into `widget` one key event per character, as an input method delivers text that
// has no key of its own (QTest::keyClicks knows ASCII only).
inline void typeText(QWidget* widget, const QString& text) {
  for (const QChar character : text) {
    QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
  }
}

inline LiveSegment sentence(const std::string& text, std::optional<double> start = std::nullopt,
                            std::optional<int> speaker = std::nullopt) {
  LiveSegment segment;
  segment.text = text;
  segment.start = start;
  segment.speaker = speaker;
  return segment;
}

}  // namespace veltovoice::testing
