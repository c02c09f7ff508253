#include "app/Shell/StatusLine.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"

namespace veltovoice {
namespace {

constexpr int kSpacing = 8;
constexpr int kBusyWidth = 48;
constexpr int kBusyHeight = 6;

}  // namespace

QProgressBar* makeBusyIndicator() {
  auto* busy = new QProgressBar;
  busy->setObjectName(QStringLiteral("busyIndicator"));
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setFixedSize(kBusyWidth, kBusyHeight);
  return busy;
}

void setMutedText(QLabel* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()));
  label->setPalette(palette);
}

StatusLine::StatusLine(LiveModel& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName(QStringLiteral("statusLine"));
  busy_ = makeBusyIndicator();
  text_ = new QLabel;
  text_->setObjectName(QStringLiteral("statusText"));
  setMutedText(text_);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(kSpacing);
  row->addWidget(busy_, 0, Qt::AlignVCenter);
  row->addWidget(text_, 1, Qt::AlignVCenter);

  connect(&live_, &LiveModel::statusChanged, this, &StatusLine::showStatus);
  showStatus();
}

void StatusLine::showStatus() {
  text_->setText(QString::fromStdString(live_.status()));
  setVisible(!live_.status().empty());
}

}  // namespace veltovoice
