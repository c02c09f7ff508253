#pragma once

#include <QStackedWidget>

class QLabel;
class QPushButton;

namespace veltovoice {

class LiveModel;

// The recording controls, one page per phase: idle shows the start button; starting and stopping
// a busy indicator with "準備しています…" or "終了しています…"; recording and paused the pause (or
// resume), stop and next buttons. The full layout (the popover) stretches the buttons at the large
// size, pause and stop side by side above the next button; the compact one (the recording panel)
// sets them in one row at their natural widths and the regular size. The start, stop and next
// buttons hand the model's operation to the event loop and return at once. GUI thread only.
class LiveControls : public QStackedWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the controls.
  LiveControls(LiveModel& live, bool compact, QWidget* parent = nullptr);

  bool compact() const { return compact_; }

  QPushButton* startButton() const { return start_; }
  QLabel* progressText() const { return progressText_; }
  QPushButton* pauseButton() const { return pause_; }
  QPushButton* stopButton() const { return stop_; }
  QPushButton* nextButton() const { return next_; }

 private:
  QWidget* makeIdlePage();
  QWidget* makeProgressPage();
  QWidget* makeRecordingPage();
  void showPhase();

  LiveModel& live_;
  const bool compact_;
  QWidget* idlePage_;
  QWidget* progressPage_;
  QWidget* recordingPage_;
  QPushButton* start_ = nullptr;
  QLabel* progressText_ = nullptr;
  QPushButton* pause_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* next_ = nullptr;
};

}  // namespace veltovoice
