#pragma once

#include <functional>

#include <QKeySequence>
#include <QObject>
#include <QString>

class QAction;
class QMenu;

namespace veltovoice {

class LiveModel;

// The "録音" menu's items, whose titles and enabling follow the model's phase and selection:
//
//   item                              shortcut      enabled
//   "新規録音を開始"                   Ctrl+R        unless starting or stopping
//   "一時停止" / "再開" (while paused)  Ctrl+Shift+R  while recording or paused
//   "録音を終了"                       Ctrl+.        while recording or paused
//   divider
//   "文字起こしをコピー"               none          while a conversation is selected
//
// Starting first brings the main window forward, then hands startNext() to the event loop; stopping
// hands stop() over without showing the window; the pause item toggles on the spot. GUI thread only.
class RecordingCommands : public QObject {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the commands; `show` brings the main window forward.
  RecordingCommands(LiveModel& live, std::function<void()> show, QObject* parent = nullptr);

  // The key of "新規録音を開始", which tooltips and hints elsewhere name.
  static QKeySequence startShortcut();
  // startShortcut() as the desktop writes it ("Ctrl+R").
  static QString startShortcutText();

  QAction* start() const { return start_; }
  QAction* pause() const { return pause_; }
  QAction* stop() const { return stop_; }
  QAction* copyTranscript() const { return copy_; }

  // Adds the items, in order with the divider, to `menu`.
  void addTo(QMenu& menu) const;

 private:
  void showPhase();
  void showSelection();

  LiveModel& live_;
  std::function<void()> show_;
  QAction* start_;
  QAction* pause_;
  QAction* stop_;
  QAction* copy_;
};

}  // namespace veltovoice
