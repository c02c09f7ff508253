#include "app/Shell/MainWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

namespace veltovoice {
namespace {

QSettings preferences() { return QSettings(QStringLiteral("VeltoVoice"), QStringLiteral("VeltoVoice")); }

constexpr int kSaveDelayMs = 1000;

}  // namespace

MainWindow::MainWindow(QWidget* content, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("VELTO VOICE"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  setCentralWidget(content);
  restoreOrCentre();
  saveSoon_.setSingleShot(true);
  saveSoon_.setInterval(kSaveDelayMs);
  connect(&saveSoon_, &QTimer::timeout, this, &MainWindow::saveGeometryNow);
}

void MainWindow::restoreOrCentre() {
  const QByteArray saved = preferences().value(QString::fromLatin1(kGeometryKey)).toByteArray();
  if (!saved.isEmpty() && restoreGeometry(saved)) return;
  resize(kWidth, kHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

void MainWindow::saveGeometryNow() {
  saveSoon_.stop();
  QSettings settings = preferences();
  settings.setValue(QString::fromLatin1(kGeometryKey), saveGeometry());
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Accepted: the window is only hidden (it is never deleted on close) and the application, which
  // does not quit with its last window, goes on until the window is shown again.
  saveGeometryNow();
  QMainWindow::closeEvent(event);
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (isVisible()) saveSoon_.start();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (isVisible()) saveSoon_.start();
}

}  // namespace veltovoice
