#pragma once

#include <functional>
#include <vector>

#include <QWidget>

class QLabel;
class QPushButton;

namespace veltovoice {

class LiveControls;
class LiveModel;
class WaveformView;
class WrappedText;

// The status-bar popover's content, a popup 320 wide: "VELTO VOICE", the full recording controls,
// while a recording exists its waveform and latest transcript lines (two lines each at most; the
// live text muted), the model's progress text and notice (wrapped, never cut), and the buttons that
// open the main window and quit. Its height follows its content. GUI thread only.
class CompactView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;
  static constexpr int kPadding = 20;
  static constexpr int kSpacing = 15;
  static constexpr int kWaveformHeight = 28;

  // `live` is borrowed and must outlive the view. `show` brings the main window forward; `quit`
  // asks the application to end (through its quit confirmation).
  CompactView(LiveModel& live, std::function<void()> show, std::function<void()> quit,
              QWidget* parent = nullptr);

  LiveControls* controls() const { return controls_; }
  WaveformView* waveform() const { return waveform_; }
  // One text per latest line, in order.
  const std::vector<WrappedText*>& lines() const { return lines_; }
  WrappedText* statusText() const { return status_; }
  WrappedText* noticeText() const { return notice_; }
  QPushButton* openButton() const { return open_; }
  QPushButton* quitButton() const { return quit_; }

 private:
  void showPhase();
  void showLines();
  void showStatus();
  void showNotice();
  void fitHeight();

  LiveModel& live_;
  std::function<void()> show_;
  std::function<void()> quitHook_;
  LiveControls* controls_;
  WaveformView* waveform_;
  QWidget* linesBox_;
  std::vector<WrappedText*> lines_;
  WrappedText* status_;
  WrappedText* notice_;
  QPushButton* open_;
  QPushButton* quit_;
};

}  // namespace veltovoice
