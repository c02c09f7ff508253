#include "app/Shell/SessionDetail.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/PlayerBar.h"
#include "app/Editor/TranscriptView.h"
#include "app/Model/LiveModel.h"
#include "app/Processing/MinutesPanel.h"
#include "app/Processing/TasksPanel.h"
#include "app/Shell/NoticeBanner.h"
#include "app/Shell/RecordingCommands.h"
#include "app/Shell/RecordingPanel.h"
#include "app/Shell/SessionHeader.h"
#include "app/Shell/StatusLine.h"

namespace veltovoice {
SessionDetail::SessionDetail(LiveModel& live, AudioPlayback& player, QWidget* parent)
    : QWidget(parent), live_(live), player_(player) {
  setObjectName(QStringLiteral("sessionDetail"));

  banner_ = new NoticeBanner(live_, this);
  status_ = new StatusLine(live_, this);
  hintPage_ = makeHintPage();

  content_ = new QWidget(this);
  content_->setObjectName(QStringLiteral("sessionContent"));
  recordingPanel_ = new RecordingPanel(live_, content_);
  header_ = new SessionHeader(live_, content_);
  playerBar_ = new PlayerBar(player_, content_);
  auto* rows = new QVBoxLayout(content_);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(kSpacing);
  rows->addWidget(recordingPanel_);
  rows->addWidget(header_);
  rows->addWidget(playerBar_);
  rows->addWidget(makeTranscriptRow(), 1);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(kSpacing);
  column->addWidget(banner_);
  column->addWidget(status_);
  column->addWidget(hintPage_, 1);
  column->addWidget(content_, 1);

  connect(&live_, &LiveModel::selectedIDChanged, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::liveIDChanged, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::phaseChanged, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::jobsChanged, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::sessionInserted, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::sessionRemoved, this, &SessionDetail::refresh);
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (live_.selectedID() == id) refresh();
  });
  refresh();
}

QWidget* SessionDetail::makeHintPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("hintPage"));
  hint_ = new QLabel(QStringLiteral("「新規録音を開始」（%1）で、録音しながら文字起こしします。").arg(RecordingCommands::startShortcutText()));
  hint_->setObjectName(QStringLiteral("hint"));
  hint_->setAlignment(Qt::AlignCenter);
  hint_->setWordWrap(true);
  setMutedText(hint_);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch(1);
  layout->addWidget(hint_);
  layout->addStretch(1);
  return page;
}

QWidget* SessionDetail::makeTranscriptRow() {
  transcript_ = new TranscriptView(live_, player_);
  minutes_ = new MinutesPanel(live_, player_);
  tasks_ = new TasksPanel(live_, player_);

  panelColumn_ = new QWidget;
  panelColumn_->setObjectName(QStringLiteral("panelColumn"));
  panelColumn_->setFixedWidth(kPanelColumnWidth);
  auto* panels = new QVBoxLayout(panelColumn_);
  panels->setContentsMargins(0, 0, 0, 0);
  panels->setSpacing(kPanelSpacing);
  panels->addWidget(minutes_);
  panels->addWidget(tasks_);

  auto* row = new QWidget;
  row->setObjectName(QStringLiteral("transcriptRow"));
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(kSpacing);
  layout->addWidget(transcript_, 1);
  layout->addWidget(panelColumn_);
  return row;
}

void SessionDetail::refresh() {
  const VoiceSession* session = live_.selected();
  hintPage_->setVisible(!session);
  content_->setVisible(session != nullptr);
  header_->refresh();
  if (!session) return;
  const bool isLive = live_.liveID() == session->id;
  recordingPanel_->setVisible(isLive && live_.phase() != LiveModel::Phase::idle);
  playerBar_->setVisible(!isLive && session->audioFile.has_value());
}

}  // namespace veltovoice
