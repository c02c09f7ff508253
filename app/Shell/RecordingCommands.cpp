#include "app/Shell/RecordingCommands.h"

#include <QAction>
#include <QMenu>

#include "app/Model/LiveModel.h"

namespace veltovoice {

QKeySequence RecordingCommands::startShortcut() { return QKeySequence(Qt::CTRL | Qt::Key_R); }

QString RecordingCommands::startShortcutText() {
  return startShortcut().toString(QKeySequence::NativeText);
}

RecordingCommands::RecordingCommands(LiveModel& live, std::function<void()> show, QObject* parent)
    : QObject(parent),
      live_(live),
      show_(std::move(show)),
      start_(new QAction(QStringLiteral("新規録音を開始"), this)),
      pause_(new QAction(QStringLiteral("一時停止"), this)),
      stop_(new QAction(QStringLiteral("録音を終了"), this)),
      copy_(new QAction(QStringLiteral("文字起こしをコピー"), this)) {
  start_->setShortcut(startShortcut());
  pause_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
  stop_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));

  connect(start_, &QAction::triggered, this, [this] {
    if (show_) show_();
    live_.startNext();
  });
  connect(pause_, &QAction::triggered, this, [this] { live_.togglePause(); });
  connect(stop_, &QAction::triggered, this, [this] { live_.stop(); });
  connect(copy_, &QAction::triggered, this, [this] { live_.copyTranscript(); });

  connect(&live_, &LiveModel::phaseChanged, this, &RecordingCommands::showPhase);
  // The selected conversation may appear or go without the selection itself changing.
  connect(&live_, &LiveModel::selectedIDChanged, this, &RecordingCommands::showSelection);
  connect(&live_, &LiveModel::sessionInserted, this, &RecordingCommands::showSelection);
  connect(&live_, &LiveModel::sessionRemoved, this, &RecordingCommands::showSelection);
  showPhase();
  showSelection();
}

void RecordingCommands::addTo(QMenu& menu) const {
  menu.addAction(start_);
  menu.addAction(pause_);
  menu.addAction(stop_);
  menu.addSeparator();
  menu.addAction(copy_);
}

void RecordingCommands::showPhase() {
  using Phase = LiveModel::Phase;
  const Phase phase = live_.phase();
  const bool running = phase == Phase::recording || phase == Phase::paused;
  start_->setEnabled(phase != Phase::starting && phase != Phase::stopping);
  pause_->setText(phase == Phase::paused ? QStringLiteral("再開") : QStringLiteral("一時停止"));
  pause_->setEnabled(running);
  stop_->setEnabled(running);
}

void RecordingCommands::showSelection() { copy_->setEnabled(live_.selected() != nullptr); }

}  // namespace veltovoice
