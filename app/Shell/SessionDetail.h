#pragma once

#include <QWidget>

class QLabel;

namespace veltovoice {

class AudioPlayback;
class LiveModel;
class NoticeBanner;
class PlayerBar;
class RecordingPanel;
class SessionHeader;
class StatusLine;

// The right column of the main window, top to bottom 16 px apart: the notice banner and the status
// line (each while it has something to say, with or without a selection), then the selected
// conversation: the recording panel while it is being recorded, its header, the player bar when it
// has a recording and is not being recorded, and the transcript beside a 320 px column holding the
// minutes panel above the tasks panel. With nothing selected a hint sits in the middle instead.
// Every part is made once and follows the model. GUI thread only.
class SessionDetail : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSpacing = 16;
  static constexpr int kPanelColumnWidth = 320;
  static constexpr int kPanelSpacing = 12;

  // `live` and `player` are borrowed and must outlive the detail.
  SessionDetail(LiveModel& live, AudioPlayback& player, QWidget* parent = nullptr);

  NoticeBanner* banner() const { return banner_; }
  StatusLine* statusLine() const { return status_; }
  QLabel* hint() const { return hint_; }
  // The selected conversation's rows; hidden while nothing is selected.
  QWidget* content() const { return content_; }
  RecordingPanel* recordingPanel() const { return recordingPanel_; }
  SessionHeader* header() const { return header_; }
  PlayerBar* playerBar() const { return playerBar_; }
  QWidget* transcript() const { return transcript_; }
  QWidget* panelColumn() const { return panelColumn_; }
  QWidget* minutesPanel() const { return minutes_; }
  QWidget* tasksPanel() const { return tasks_; }

 private:
  QWidget* makeHintPage();
  QWidget* makeTranscriptRow();
  void refresh();

  LiveModel& live_;
  AudioPlayback& player_;
  NoticeBanner* banner_;
  StatusLine* status_;
  QWidget* hintPage_;
  QLabel* hint_;
  QWidget* content_;
  RecordingPanel* recordingPanel_;
  SessionHeader* header_;
  PlayerBar* playerBar_;
  QWidget* transcript_;
  QWidget* panelColumn_;
  QWidget* minutes_;
  QWidget* tasks_;
};

}  // namespace veltovoice
