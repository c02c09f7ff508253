#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QShortcut;
class QSlider;
class QToolButton;

namespace veltovoice {

class AudioPlayback;

// The control strip of the player: skip back 15 s, play/pause (Ctrl+Shift+Space), skip forward 15 s, a
// position slider in milliseconds and "MM:SS / MM:SS". Everything is disabled while no recording is
// open. GUI thread only.
class PlayerBar : public QWidget {
  Q_OBJECT

 public:
  // `player` is borrowed and must outlive the bar.
  explicit PlayerBar(AudioPlayback& player, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void playPause();
  void showPlaying();
  void showPosition();
  void showDuration();
  void showLoaded();
  void showTime();

  AudioPlayback& player_;
  QWidget* controls_;
  QToolButton* skipBack_;
  QPushButton* playPause_;
  QShortcut* shortcut_;
  QToolButton* skipForward_;
  QSlider* slider_;
  QLabel* time_;
};

}  // namespace veltovoice
