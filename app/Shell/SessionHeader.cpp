#include "app/Shell/SessionHeader.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Model/UserLocale.h"
#include "app/Processing/CLIAssistant.h"
#include "app/Shell/ControlStyle.h"
#include "app/Shell/StatusLine.h"
#include "platform/text/DateFormat.h"

namespace veltovoice {
namespace {

constexpr int kRowSpacing = 12;
constexpr int kTitleSpacing = 4;
constexpr int kTitlePixels = 18;
constexpr int kDatePixels = 10;
constexpr int kJobSpacing = 6;
constexpr int kJobPixels = 11;
constexpr int kIconSize = 14;

QToolButton* iconButton(const QString& symbol, const QString& toolTip, const QString& name) {
  auto* button = new QToolButton;
  button->setObjectName(name);
  button->setAutoRaise(true);
  button->setIcon(Symbols::icon(symbol));
  button->setIconSize(QSize(kIconSize, kIconSize));
  button->setToolTip(toolTip);
  return button;
}

QString displayName(const std::optional<CLIAssistant>& assistant) {
  return assistant ? QString::fromStdString(assistant->displayName()) : QStringLiteral("AI未選択");
}

QString dateText(const VoiceSession& session) {
  QString line = QString::fromStdString(platform::text::formatDateStyle(
      unixSecondsFromRecordTime(session.startedAt), platform::text::DateStyle::long_,
      platform::text::TimeStyle::shortened, userLocaleName()));
  if (session.duration) line += QStringLiteral(" · ") + QString::fromStdString(clock(*session.duration));
  return line;
}

}  // namespace

SessionHeader::SessionHeader(LiveModel& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName(QStringLiteral("sessionHeader"));

  title_ = new QLineEdit;
  title_->setObjectName(QStringLiteral("titleField"));
  title_->setFrame(false);
  title_->setPlaceholderText(QStringLiteral("タイトル"));
  title_->setFont(VeltoToolsDesign::systemFont(kTitlePixels, QFont::Bold));
  QPalette plain = title_->palette();
  plain.setColor(QPalette::Base, Qt::transparent);
  title_->setPalette(plain);

  date_ = new QLabel;
  date_->setObjectName(QStringLiteral("dateLine"));
  date_->setFont(VeltoToolsDesign::systemFont(kDatePixels));
  setMutedText(date_);

  auto* titleStack = new QVBoxLayout;
  titleStack->setSpacing(kTitleSpacing);
  titleStack->addWidget(title_);
  titleStack->addWidget(date_);

  jobRow_ = new QWidget;
  jobRow_->setObjectName(QStringLiteral("jobRow"));
  jobText_ = new QLabel;
  jobText_->setObjectName(QStringLiteral("jobText"));
  jobText_->setFont(VeltoToolsDesign::monospacedDigitFont(kJobPixels));
  setMutedText(jobText_);
  auto* jobLayout = new QHBoxLayout(jobRow_);
  jobLayout->setContentsMargins(0, 0, 0, 0);
  jobLayout->setSpacing(kJobSpacing);
  jobLayout->addWidget(makeBusyIndicator(), 0, Qt::AlignVCenter);
  jobLayout->addWidget(jobText_, 0, Qt::AlignVCenter);

  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("redoMenu"));
  menuButton_ = new QToolButton;
  menuButton_->setObjectName(QStringLiteral("redoMenuButton"));
  menuButton_->setText(QStringLiteral("AIでやり直す"));
  menuButton_->setIcon(Symbols::icon(QStringLiteral("wand.and.stars")));
  menuButton_->setIconSize(QSize(kIconSize, kIconSize));
  menuButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  menuButton_->setToolTip(QStringLiteral("このコンピューターの中の AI で、文字起こし・議事録・タスクをやり直します"));
  menuButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  menuButton_->setMenu(menu_);

  find_ = ControlStyle::button(QStringLiteral("録音を探す"), QStringLiteral("waveform.badge.magnifyingglass"),
                               false, ControlStyle::Size::regular);
  find_->setObjectName(QStringLiteral("findRecording"));

  copy_ = iconButton(QStringLiteral("doc.on.doc"), QStringLiteral("文字起こしをコピー"),
                     QStringLiteral("copyTranscript"));
  folder_ = iconButton(QStringLiteral("folder"), QStringLiteral("フォルダで表示"), QStringLiteral("reveal"));

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(kRowSpacing);
  row->addLayout(titleStack, 1);
  row->addWidget(jobRow_, 0, Qt::AlignVCenter);
  row->addWidget(menuButton_, 0, Qt::AlignVCenter);
  row->addWidget(find_, 0, Qt::AlignVCenter);
  row->addWidget(copy_, 0, Qt::AlignVCenter);
  row->addWidget(folder_, 0, Qt::AlignVCenter);

  // Return only: leaving the field keeps the edit in it and changes nothing in the model.
  connect(title_, &QLineEdit::returnPressed, this, [this] {
    if (sessionID_) live_.renameSession(*sessionID_, title_->text().toStdString());
  });
  connect(find_, &QPushButton::clicked, this, [this] {
    if (sessionID_) live_.linkAudio(*sessionID_, false, false);
  });
  connect(copy_, &QToolButton::clicked, this, [this] {
    if (sessionID_) live_.copyTranscript(*sessionID_);
  });
  connect(folder_, &QToolButton::clicked, this, [this] {
    if (sessionID_) live_.reveal(*sessionID_);
  });
  connect(menu_, &QMenu::aboutToShow, this, &SessionHeader::fillMenu);
  connect(&live_, &LiveModel::preferencesChanged, this, &SessionHeader::scheduleMenuFill);

  refresh();
}

void SessionHeader::refresh() {
  const VoiceSession* session = live_.selected();
  if (!session) {
    sessionID_.reset();
    return;
  }
  if (sessionID_ != session->id || shownTitle_ != session->title) {
    sessionID_ = session->id;
    shownTitle_ = session->title;
    title_->setText(QString::fromStdString(session->title));
  }
  date_->setText(dateText(*session));
  showActions(*session);
  scheduleMenuFill();
}

// Refilling deletes the menu's actions, so it never runs inside one of their own signals: it waits
// for the event loop, and only an open menu needs it (a closed one is filled when it opens).
void SessionHeader::scheduleMenuFill() {
  if (menuFillPending_ || !menu_->isVisible()) return;
  menuFillPending_ = true;
  QMetaObject::invokeMethod(this, [this] {
    menuFillPending_ = false;
    if (menu_->isVisible()) fillMenu();
  }, Qt::QueuedConnection);
}

void SessionHeader::showActions(const VoiceSession& session) {
  const auto job = live_.jobs().find(session.id);
  const bool hasJob = job != live_.jobs().end();
  const bool isLive = live_.liveID() == session.id;
  if (hasJob) jobText_->setText(QString::fromStdString(job->second));
  jobRow_->setVisible(hasJob);
  menuButton_->setVisible(!hasJob && !isLive && session.audioFile.has_value());
  find_->setVisible(!hasJob && !isLive && !session.audioFile.has_value());
}

void SessionHeader::fillMenu() {
  menu_->clear();
  if (assistantMenu_) assistantMenu_->deleteLater();
  assistantMenu_ = nullptr;
  const VoiceSession* session = sessionID_ ? live_.session(*sessionID_) : nullptr;
  if (!session) return;
  const QUuid id = session->id;

  const std::optional<CLIAssistant> chosen = CLIAssistant::selected();
  QAction* clean = menu_->addAction(QStringLiteral("AI清書（") + displayName(chosen) + QStringLiteral("）"));
  clean->setObjectName(QStringLiteral("cleanTranscript"));
  clean->setEnabled(chosen && chosen->installed());
  connect(clean, &QAction::triggered, this, [this, id] { live_.cleanTranscript(id); });

  addAssistantMenu();
  menu_->addSeparator();

  QAction* redo = menu_->addAction(QStringLiteral("録音から文字起こしをやり直して統合"));
  redo->setObjectName(QStringLiteral("redoTranscript"));
  connect(redo, &QAction::triggered, this, [this, id] { live_.redoTranscript(id); });
  QAction* fill = menu_->addAction(QStringLiteral("文字起こしがない部分だけ追加"));
  fill->setObjectName(QStringLiteral("fillTranscript"));
  connect(fill, &QAction::triggered, this, [this, id] { live_.fillTranscript(id); });
  menu_->addSeparator();

  QAction* minutes = menu_->addAction(QStringLiteral("議事録を取り直す"));
  minutes->setObjectName(QStringLiteral("makeMinutes"));
  minutes->setEnabled(!live_.minutesJobs().contains(id));
  connect(minutes, &QAction::triggered, this, [this, id] { live_.makeMinutes(id); });
  QAction* tasks = menu_->addAction(QStringLiteral("タスクを抜き出し直す"));
  tasks->setObjectName(QStringLiteral("reextractTasks"));
  tasks->setEnabled(!live_.taskJobs().contains(id));
  connect(tasks, &QAction::triggered, this, [this, id] { live_.reextractTasks(id); });

  if (session->segmentsBackup) {
    menu_->addSeparator();
    QAction* restore = menu_->addAction(QStringLiteral("文字起こしをやり直す前（清書・統合の前）に戻す"));
    restore->setObjectName(QStringLiteral("restoreBackup"));
    connect(restore, &QAction::triggered, this, [this, id] { live_.restoreTranscriptBackup(id); });
  }
}

void SessionHeader::addAssistantMenu() {
  QMenu* assistants = menu_->addMenu(QStringLiteral("清書に使うAI"));
  assistantMenu_ = assistants;
  assistants->setObjectName(QStringLiteral("assistantMenu"));
  const std::optional<CLIAssistant> chosen = CLIAssistant::selected();
  for (const CLIAssistant& assistant : CLIAssistant::allCases()) {
    const bool installed = assistant.installed();
    QString text = QString::fromStdString(assistant.displayName());
    if (chosen == assistant) text.prepend(QStringLiteral("✓ "));
    if (!installed) text += QStringLiteral("（未インストール）");
    QAction* item = assistants->addAction(text);
    item->setObjectName(QString::fromStdString(assistant.rawValue()));
    item->setEnabled(installed);
    connect(item, &QAction::triggered, this, [this, assistant] {
      CLIAssistant::setSelected(assistant);
      live_.announcePreferencesChanged();
    });
  }
}

}  // namespace veltovoice
