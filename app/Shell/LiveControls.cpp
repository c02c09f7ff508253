#include "app/Shell/LiveControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Model/LiveModel.h"
#include "app/Shell/ControlStyle.h"
#include "app/Shell/RecordingCommands.h"

namespace veltovoice {
namespace {

constexpr int kProgressSpacing = 8;
constexpr int kColumnSpacing = 8;

QHBoxLayout* bareRow(QWidget* owner) {
  auto* row = new QHBoxLayout(owner);
  row->setContentsMargins(0, 0, 0, 0);
  return row;
}

}  // namespace

LiveControls::LiveControls(LiveModel& live, bool compact, QWidget* parent)
    : QStackedWidget(parent), live_(live), compact_(compact) {
  setObjectName(QStringLiteral("liveControls"));
  idlePage_ = makeIdlePage();
  progressPage_ = makeProgressPage();
  recordingPage_ = makeRecordingPage();
  addWidget(idlePage_);
  addWidget(progressPage_);
  addWidget(recordingPage_);
  setSizePolicy(compact ? QSizePolicy::Fixed : QSizePolicy::Expanding, QSizePolicy::Fixed);

  connect(&live_, &LiveModel::phaseChanged, this, &LiveControls::showPhase);
  showPhase();
}

QWidget* LiveControls::makeIdlePage() {
  auto* page = new QWidget;
  start_ = ControlStyle::button(QStringLiteral("新規録音を開始"), QStringLiteral("record.circle"), true,
                                ControlStyle::Size::large);
  start_->setObjectName(QStringLiteral("startButton"));
  QFont semibold = start_->font();
  semibold.setWeight(QFont::DemiBold);
  start_->setFont(semibold);
  auto* row = bareRow(page);
  if (compact_) {
    row->addWidget(start_, 0, Qt::AlignVCenter);
  } else {
    start_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    row->addWidget(start_);
  }
  connect(start_, &QPushButton::clicked, this, [this] { live_.startNext(); });
  return page;
}

QWidget* LiveControls::makeProgressPage() {
  auto* page = new QWidget;
  auto* busy = new QProgressBar;
  busy->setObjectName(QStringLiteral("busyIndicator"));
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setFixedSize(48, 6);
  progressText_ = new QLabel;
  progressText_->setObjectName(QStringLiteral("progressText"));
  auto* row = bareRow(page);
  row->setSpacing(kProgressSpacing);
  row->addWidget(busy, 0, Qt::AlignVCenter);
  row->addWidget(progressText_, 0, Qt::AlignVCenter);
  row->addStretch(1);
  return page;
}

QWidget* LiveControls::makeRecordingPage() {
  auto* page = new QWidget;
  const auto size = compact_ ? ControlStyle::Size::regular : ControlStyle::Size::large;
  pause_ = ControlStyle::button(QStringLiteral("一時停止"), QStringLiteral("pause.fill"), false, size);
  pause_->setObjectName(QStringLiteral("pauseButton"));
  stop_ = ControlStyle::button(QStringLiteral("終了"), QStringLiteral("stop.fill"), true, size);
  stop_->setObjectName(QStringLiteral("stopButton"));
  next_ = ControlStyle::button(QStringLiteral("新規録音を開始"), QStringLiteral("plus.circle"), false, size);
  next_->setObjectName(QStringLiteral("nextButton"));
  next_->setToolTip(QStringLiteral("今の録音を保存して、次の録音を始めます（%1）").arg(RecordingCommands::startShortcutText()));

  connect(pause_, &QPushButton::clicked, this, [this] { live_.togglePause(); });
  connect(stop_, &QPushButton::clicked, this, [this] { live_.stop(); });
  connect(next_, &QPushButton::clicked, this, [this] { live_.startNext(); });

  if (compact_) {
    auto* row = bareRow(page);
    for (QPushButton* button : {pause_, stop_, next_}) row->addWidget(button, 0, Qt::AlignVCenter);
  } else {
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kColumnSpacing);
    auto* pair = new QHBoxLayout;
    for (QPushButton* button : {pause_, stop_, next_}) {
      button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    pair->addWidget(pause_);
    pair->addWidget(stop_);
    column->addLayout(pair);
    column->addWidget(next_);
  }
  return page;
}

void LiveControls::showPhase() {
  switch (live_.phase()) {
    case LiveModel::Phase::idle:
      setCurrentWidget(idlePage_);
      break;
    case LiveModel::Phase::starting:
    case LiveModel::Phase::stopping:
      progressText_->setText(live_.phase() == LiveModel::Phase::starting
                                 ? QStringLiteral("準備しています…")
                                 : QStringLiteral("終了しています…"));
      setCurrentWidget(progressPage_);
      break;
    case LiveModel::Phase::recording:
    case LiveModel::Phase::paused: {
      const bool paused = live_.phase() == LiveModel::Phase::paused;
      pause_->setText(paused ? QStringLiteral("再開") : QStringLiteral("一時停止"));
      ControlStyle::setSymbol(pause_, paused ? QStringLiteral("play.fill") : QStringLiteral("pause.fill"));
      setCurrentWidget(recordingPage_);
      break;
    }
  }
  // A stack takes the size of its largest page; the shown page alone should count.
  for (QWidget* page : {idlePage_, progressPage_, recordingPage_}) {
    page->setSizePolicy(page == currentWidget() ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                        page == currentWidget() ? QSizePolicy::Preferred : QSizePolicy::Ignored);
  }
  updateGeometry();
}

}  // namespace veltovoice
