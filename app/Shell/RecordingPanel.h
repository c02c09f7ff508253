#pragma once

#include <QWidget>

class QLabel;

namespace veltovoice {

class LiveControls;
class LiveModel;
class PulsingSymbol;
class WaveformView;

// The box over the conversation detail while its conversation is being recorded: a status row
// (the state symbol, pulsing only while recording; "録音中", "一時停止中" or "準備中"; the elapsed
// time; the compact recording controls) above the level waveform. Follows the model on every
// change. GUI thread only.
class RecordingPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWaveformHeight = 56;

  // `live` is borrowed and must outlive the panel.
  explicit RecordingPanel(LiveModel& live, QWidget* parent = nullptr);

  PulsingSymbol* stateSymbol() const { return symbol_; }
  QLabel* stateWord() const { return word_; }
  QLabel* elapsedText() const { return elapsed_; }
  LiveControls* controls() const { return controls_; }
  WaveformView* waveform() const { return waveform_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void showPhase();
  void showElapsed();
  void showLevels();

  LiveModel& live_;
  PulsingSymbol* symbol_;
  QLabel* word_;
  QLabel* elapsed_;
  LiveControls* controls_;
  WaveformView* waveform_;
};

}  // namespace veltovoice
