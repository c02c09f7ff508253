#pragma once

#include <QMainWindow>
#include <QString>
#include <QTimer>

namespace veltovoice {

// The application's one main window, "VELTO VOICE": 1320 by 800 centred on the screen the first
// time, never smaller than 1040 by 560, and where the user left it on later runs (its geometry is
// kept in the preferences under "VeltoVoiceMainWindow"). Closing it only hides it. GUI thread only.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kWidth = 1320;
  static constexpr int kHeight = 800;
  static constexpr int kMinimumWidth = 1040;
  static constexpr int kMinimumHeight = 560;
  // The preferences key of the saved geometry.
  static constexpr const char* kGeometryKey = "VeltoVoiceMainWindow";

  // Takes `content` as its central widget; restores the saved geometry, or centres itself at its
  // first size.
  explicit MainWindow(QWidget* content, QWidget* parent = nullptr);

  // Writes the current geometry under kGeometryKey.
  void saveGeometryNow();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void restoreOrCentre();

  // Writes the geometry once the user has stopped moving the window, not on every step.
  QTimer saveSoon_;
};

}  // namespace veltovoice
