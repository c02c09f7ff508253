#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/Editor/AudioPlayback.h"
#include "app/Model/LiveModel.h"
#include "app/Model/LiveModelServices.h"

class QAction;
class QMessageBox;

namespace veltovoice {

class Clipboard;
class CompactView;
class DesktopServices;
class MainWindow;
class RecordingCommands;
class StatusItem;
class StatusTrayIcon;
class TerminationSignals;
class UpdateCommands;
class Updates;

// The application's long-lived objects and everything it does outside the main window's content:
// the one conversation model (made on first use), the one audio player, the status item with its
// popover, the main window with its menus, and the one road by which the application ends. GUI
// thread only; one instance per process, made by main().
//
// Launch, in order: the popover and the status item (whose symbol follows the phase), the start
// line "起動 <OS name and version>" in the log, the demo conversation when VELTOVOICE_DEMO is
// exactly "1", the main window, and the update service, which may install only while the model is
// idle and brings the main window forward before its own windows.
//
// Quitting: a request while the model is idle ends at once; otherwise the user is asked first
// (unless the request came from a signal or the desktop session ending). Before quitReady() the
// delegate waits for a start in progress to settle, stops a recording (or waits for the stop in
// progress), writes every pending save and the window's geometry.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  // What the delegate is made with; tests put their own parts in any slot.
  struct Setup {
    // The model's folder; $XDG_DATA_HOME/VeltoVoice by default.
    std::filesystem::path root = LiveModel::defaultRoot();
    // The model's services. The four desktop slots below replace the matching ones.
    LiveModelServices services;
    // Null: the desktop's file browser and address handlers.
    std::shared_ptr<DesktopServices> desktop;
    // Null: the system clipboard.
    std::shared_ptr<Clipboard> clipboard;
    // Empty: a file dialog over the main window.
    LiveModelServices::FileChooser chooseFile;
    // Empty: a modal alert over the main window.
    LiveModelServices::ConsentPrompt askConsent;
    // Empty: the player plays through the default output.
    AudioPlayback::PlayerFactory makePlayer;
  };

  // The update service's new program, to be started in place of this one once the application
  // has ended; nothing unless an update was installed.
  const std::optional<std::filesystem::path>& relaunchProgram() const { return relaunch_; }

  // Where a request to quit came from.
  enum class QuitRequest {
    ask,         // the user (menu, shortcut, popover): asked first unless idle
    unattended,  // a signal or the desktop session ending: never asks
  };

  explicit AppDelegate(Setup setup, QObject* parent = nullptr);
  ~AppDelegate() override;

  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The one conversation model, made on the first call over Setup::root.
  LiveModel& live();
  AudioPlayback& player() { return *player_; }
  Updates& updates() { return *updates_; }

  // Runs the launch sequence once; later calls do nothing.
  void launch();

  // Shows the main window, making it (with its menus) on the first call and bringing the same one
  // forward on every later call, and activates it.
  void showMainWindow();

  // Whether an update may be installed now: only while the model is idle.
  bool canInstall();

  // Takes a request to end the application (see the class comment). Returns at once; quitReady()
  // follows once the recording is saved. Ignored while the application is already ending.
  void requestQuit(QuitRequest request);
  // Whether the application is on its way out.
  bool quitting() const { return quitting_; }

  // The question asked before quitting while the model is busy, not yet shown: "録音中です" with
  // its informative text and the buttons "キャンセル" (the default, also Escape) and
  // "VELTO VOICEを終了". Owned by the caller.
  std::unique_ptr<QMessageBox> quitQuestion() const;

  // Parts made by launch() or showMainWindow(); null before.
  StatusItem* statusItem() const { return statusItem_.get(); }
  StatusTrayIcon* trayIcon() const { return trayIcon_.get(); }
  CompactView* popover() const { return popover_.get(); }
  MainWindow* window() const { return window_.get(); }
  RecordingCommands* recordingCommands() const { return recording_; }
  UpdateCommands* updateCommands() const { return updateCommands_; }

  // The menu items outside the recording menu; null before the first showMainWindow().
  QAction* importAction() const { return import_; }
  QAction* nextAction() const { return next_; }
  QAction* previousAction() const { return previous_; }
  QAction* revealLogAction() const { return revealLog_; }
  QAction* quitAction() const { return quit_; }

  // "起動 " followed by the operating system's name and version.
  static QString startLine();

 signals:
  // Everything is saved; the application may end now.
  void quitReady();

 private:
  void makeCommands();
  void startUpdates();
  void buildMenus();
  bool confirmQuit();
  QCoro::Task<> finishAndQuit();

  Setup setup_;
  std::unique_ptr<LiveModel> live_;
  std::unique_ptr<AudioPlayback> player_;
  std::unique_ptr<Updates> updates_;
  std::unique_ptr<CompactView> popover_;
  std::unique_ptr<StatusItem> statusItem_;
  std::unique_ptr<StatusTrayIcon> trayIcon_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<TerminationSignals> signals_;

  RecordingCommands* recording_ = nullptr;
  UpdateCommands* updateCommands_ = nullptr;
  QAction* import_ = nullptr;
  QAction* next_ = nullptr;
  QAction* previous_ = nullptr;
  QAction* revealLog_ = nullptr;
  QAction* quit_ = nullptr;

  std::optional<std::filesystem::path> relaunch_;
  bool launched_ = false;
  bool quitting_ = false;
  // The quit question while it is open.
  QPointer<QMessageBox> question_;
};

}  // namespace veltovoice
