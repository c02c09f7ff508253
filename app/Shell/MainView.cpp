#include "app/Shell/MainView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Editor/VeltoToolsFooter.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/SessionDetail.h"
#include "app/Shell/SessionList.h"

namespace veltovoice {
namespace {

QFrame* dividerLine(Qt::Orientation orientation) {
  auto* line = new QFrame;
  line->setObjectName(QStringLiteral("divider"));
  line->setAutoFillBackground(true);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, VeltoToolsDesign::overBackground(VeltoToolsDesign::divider()));
  line->setPalette(palette);
  if (orientation == Qt::Vertical) {
    line->setFixedWidth(1);
  } else {
    line->setFixedHeight(1);
  }
  return line;
}

std::optional<std::string> audioFileOf(const VoiceSession* session) {
  return session ? session->audioFile : std::nullopt;
}

}  // namespace

MainView::MainView(LiveModel& model, AudioPlayback& player, QWidget* parent)
    : QWidget(parent), live_(model), player_(player) {
  setObjectName(QStringLiteral("mainView"));
  setFont(VeltoToolsDesign::systemFont(kBaseFontPixels));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, VeltoToolsDesign::background());
  palette.setColor(QPalette::WindowText, VeltoToolsDesign::primary());
  setPalette(palette);
  setMinimumSize(kMinimumWidth, kMinimumHeight);

  list_ = new SessionList(live_);
  list_->setFixedWidth(kListWidth);
  detail_ = new SessionDetail(live_, player_);
  detail_->setContentsMargins(kDetailMargin, kDetailMargin, kDetailMargin, kDetailMargin);
  footer_ = new VeltoToolsFooter(*live_.services().desktop);
  footer_->setContentsMargins(kFooterMarginX, kFooterMarginY, kFooterMarginX, kFooterMarginY);

  auto* columns = new QHBoxLayout;
  columns->setContentsMargins(0, 0, 0, 0);
  columns->setSpacing(0);
  columns->addWidget(list_);
  columns->addWidget(dividerLine(Qt::Vertical));
  columns->addWidget(detail_, 1);

  auto* rows = new QVBoxLayout(this);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);
  rows->addLayout(columns, 1);
  rows->addWidget(dividerLine(Qt::Horizontal));
  rows->addWidget(footer_);

  shownAudioFile_ = audioFileOf(live_.selected());
  connect(&live_, &LiveModel::selectedIDChanged, this, [this] {
    shownAudioFile_ = audioFileOf(live_.selected());
    loadSelectedRecording();
  });
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (live_.selectedID() == id) followAudioFile();
  });
  connect(&live_, &LiveModel::sessionInserted, this, &MainView::followAudioFile);
  connect(&live_, &LiveModel::sessionRemoved, this, &MainView::followAudioFile);
  connect(&live_, &LiveModel::phaseChanged, this, [this] {
    if (live_.phase() == LiveModel::Phase::idle) loadSelectedRecording();
  });
}

void MainView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  loadSelectedRecording();
}

void MainView::followAudioFile() {
  std::optional<std::string> now = audioFileOf(live_.selected());
  if (now == shownAudioFile_) return;
  shownAudioFile_ = std::move(now);
  loadSelectedRecording();
}

void MainView::loadSelectedRecording() {
  const VoiceSession* session = live_.selected();
  // Only a plain name inside the audio folder, as deleting and revealing take it.
  player_.load(session ? live_.store().audioPath(*session) : std::nullopt);
}

}  // namespace veltovoice
