#include "app/Processing/MinutesPanel.h"

#include <utility>

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Processing/TaskExtractor.h"
#include "app/Shell/WrappedText.h"

namespace veltovoice {
namespace {

constexpr int kPadding = 14;
constexpr int kSpacing = 10;
constexpr int kHeaderSpacing = 8;
constexpr int kTitlePixels = 12;
constexpr int kSmallPixels = 10;
constexpr int kListSpacing = 14;
constexpr int kBlockSpacing = 5;
constexpr int kHeadingSpacing = 6;
constexpr int kDecisionSpacing = 4;
constexpr int kCornerRadius = 12;
constexpr int kBadgeRadius = 4;
constexpr int kBadgeHorizontal = 5;
constexpr int kBadgeVertical = 1;
constexpr int kIconSide = 16;
constexpr double kTimeOpacity = 0.8;
constexpr double kPointOpacity = 0.85;

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette colours = widget->palette();
  colours.setColor(QPalette::WindowText, color);
  colours.setColor(QPalette::Text, color);
  widget->setPalette(colours);
}

// A text of a topic block: wraps anywhere it must and can be selected and copied.
QLabel* blockText(const QString& objectName, const QString& text, const QColor& color) {
  auto* label = new QLabel(text);
  label->setObjectName(objectName);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setTextColor(label, color);
  return label;
}

// The "決定" badge: bold background-coloured text on a small accent plate.
class DecisionBadge : public QLabel {
 public:
  DecisionBadge() : QLabel(QStringLiteral("決定")) {
    setObjectName(QStringLiteral("decisionBadge"));
    setFont(VeltoToolsDesign::systemFont(kSmallPixels, QFont::Bold));
    setContentsMargins(kBadgeHorizontal, kBadgeVertical, kBadgeHorizontal, kBadgeVertical);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setTextColor(this, VeltoToolsDesign::background());
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    {
      QPainter painter(this);
      painter.setRenderHint(QPainter::Antialiasing);
      QPainterPath plate;
      plate.addRoundedRect(QRectF(rect()), kBadgeRadius, kBadgeRadius);
      painter.fillPath(plate, VeltoToolsDesign::accent());
    }
    QLabel::paintEvent(event);
  }
};

// A topic's heading: its title and, when known, its start time; a click scrolls the transcript.
class TopicHeading : public QAbstractButton {
 public:
  TopicHeading(const QString& title, const QString& time) {
    setObjectName(QStringLiteral("topicHeading"));
    setToolTip(QStringLiteral("文字起こしのこの位置へ"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setText(title);
    auto* titleLabel = new QLabel(title);
    titleLabel->setObjectName(QStringLiteral("topicTitle"));
    titleLabel->setWordWrap(true);
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont font = titleLabel->font();
    font.setWeight(QFont::DemiBold);
    titleLabel->setFont(font);
    setTextColor(titleLabel, VeltoToolsDesign::primary());
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(kHeadingSpacing);
    row->addWidget(titleLabel, 1, Qt::AlignTop);
    if (!time.isEmpty()) {
      auto* timeLabel = new QLabel(time);
      timeLabel->setObjectName(QStringLiteral("topicTime"));
      timeLabel->setFont(VeltoToolsDesign::monospacedDigitFont(kSmallPixels));
      timeLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
      setTextColor(timeLabel, VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), kTimeOpacity));
      row->addWidget(timeLabel, 0, Qt::AlignTop);
    }
  }

  QSize sizeHint() const override { return layout()->sizeHint(); }
  bool hasHeightForWidth() const override { return layout()->hasHeightForWidth(); }
  int heightForWidth(int width) const override { return layout()->totalHeightForWidth(width); }

 protected:
  void paintEvent(QPaintEvent*) override {}
};

QToolButton* iconButton(const QString& objectName, const QString& symbol, const QString& toolTip) {
  auto* button = new QToolButton;
  button->setObjectName(objectName);
  button->setAutoRaise(true);
  button->setIcon(Symbols::icon(symbol));
  button->setIconSize(QSize(kIconSide, kIconSide));
  button->setToolTip(toolTip);
  return button;
}

}  // namespace

MinutesPanel::MinutesPanel(LiveModel& model, AudioPlayback&, QWidget* parent) : QWidget(parent), live_(model) {
  setObjectName(QStringLiteral("minutesPanel"));
  setFixedWidth(kWidth);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);

  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("topicList"));
  list_ = new QVBoxLayout(content);
  list_->setContentsMargins(0, 0, 0, 0);
  list_->setSpacing(kListSpacing);

  emptyState_ = new QWidget;
  auto* empty = new QVBoxLayout(emptyState_);
  empty->setContentsMargins(0, 0, 0, 0);
  emptyText_ = new WrappedText;
  emptyText_->setObjectName(QStringLiteral("minutesEmptyText"));
  emptyText_->setColor(VeltoToolsDesign::muted());
  auto* make = new QPushButton(Symbols::icon(QStringLiteral("doc.text")), QStringLiteral("議事録を作る"));
  make->setObjectName(QStringLiteral("makeMinutes"));
  makeButton_ = make;
  connect(makeButton_, &QAbstractButton::clicked, this, [this] { live_.makeMinutes(sessionID_); });
  empty->addWidget(emptyText_);
  empty->addWidget(makeButton_, 0, Qt::AlignLeft);
  list_->addWidget(emptyState_);
  list_->addStretch(1);

  auto* scroll = new QScrollArea;
  scroll->setObjectName(QStringLiteral("minutesScroll"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidget(content);
  scroll->viewport()->setAutoFillBackground(false);
  content->setAutoFillBackground(false);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  column->setSpacing(kSpacing);
  column->addWidget(makeHeader());
  column->addWidget(scroll, 1);

  sessionID_ = live_.selectedID().value_or(QUuid());
  connect(&live_, &LiveModel::selectedIDChanged, this, [this] {
    if (followsSelection_) showSession(live_.selectedID().value_or(QUuid()));
  });
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (id == sessionID_) refresh();
  });
  connect(&live_, &LiveModel::sessionInserted, this, &MinutesPanel::refresh);
  connect(&live_, &LiveModel::sessionRemoved, this, &MinutesPanel::refresh);
  connect(&live_, &LiveModel::jobsChanged, this, &MinutesPanel::jobsChanged);
  connect(&live_, &LiveModel::liveIDChanged, this, &MinutesPanel::refresh);
  refresh();
}

MinutesPanel::~MinutesPanel() = default;

QWidget* MinutesPanel::makeHeader() {
  auto* header = new QWidget;
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(kHeaderSpacing);

  auto* title = new QLabel(QStringLiteral("議事録"));
  title->setFont(VeltoToolsDesign::systemFont(kTitlePixels, QFont::Bold));

  auto* busy = new QProgressBar;
  busy->setObjectName(QStringLiteral("minutesJobIndicator"));
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setFixedSize(24, 6);
  busy_ = busy;

  redo_ = iconButton(QStringLiteral("redoMinutes"), QStringLiteral("arrow.clockwise"), QStringLiteral("議事録を取り直す"));
  connect(redo_, &QAbstractButton::clicked, this, [this] { live_.makeMinutes(sessionID_); });

  menuButton_ = iconButton(QStringLiteral("minutesActions"), QStringLiteral("ellipsis.circle"), QString());
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
  auto* menu = new QMenu(menuButton_);
  make_ = menu->addAction(QStringLiteral("議事録を作る"), this, [this] { live_.makeMinutes(sessionID_); });
  copy_ = menu->addAction(QStringLiteral("議事録とタスクをコピー"), this, [this] { live_.copyMinutes(sessionID_); });
  menuButton_->setMenu(menu);

  row->addWidget(title);
  row->addWidget(busy_);
  row->addStretch(1);
  row->addWidget(redo_);
  row->addWidget(menuButton_);
  return header;
}

void MinutesPanel::setSessionID(const QUuid& id) {
  followsSelection_ = false;
  showSession(id);
}

void MinutesPanel::showSession(const QUuid& id) {
  if (id == sessionID_) return;
  sessionID_ = id;
  refresh();
}

MinutesPanel::Look MinutesPanel::read() const {
  Look look;
  if (const VoiceSession* session = live_.session(sessionID_)) {
    look.topics = session->topics.value_or(std::vector<TopicTag>{});
    look.starts.reserve(look.topics.size());
    for (const TopicTag& topic : look.topics) look.starts.push_back(session->topicStart(topic));
    look.hasSentences = !session->segments.empty();
    look.hasTasks = session->tasks && !session->tasks->empty();
  }
  look.jobRunning = live_.minutesJobs().contains(sessionID_);
  look.recording = live_.liveID() == sessionID_;
  const auto& model = live_.services().languageModel;
  look.availability = model ? model->availability()
                            : platform::SystemLanguageModel::Availability::unavailable(
                                  platform::SystemLanguageModel::UnavailableReason::other);
  return look;
}

void MinutesPanel::jobsChanged() {
  refresh();
  // A job records its handle in the same turn as its text, possibly after it: look again once
  // the turn is over.
  if (refreshQueued_) return;
  refreshQueued_ = true;
  QTimer::singleShot(0, this, [this] {
    refreshQueued_ = false;
    refresh();
  });
}

void MinutesPanel::refresh() {
  Look look = read();
  if (shown_ && *shown_ == look) return;
  showHeader(look);
  if (!shown_ || shown_->topics != look.topics || shown_->starts != look.starts ||
      shown_->jobRunning != look.jobRunning) {
    showBlocks(look);
  }
  showEmptyState(look);
  shown_ = std::move(look);
}

void MinutesPanel::showHeader(const Look& look) {
  const bool hasTopics = !look.topics.empty();
  busy_->setVisible(look.jobRunning);
  redo_->setVisible(hasTopics);
  redo_->setEnabled(!look.jobRunning && !look.recording);
  make_->setText(hasTopics ? QStringLiteral("議事録を作り直す") : QStringLiteral("議事録を作る"));
  make_->setEnabled(!look.jobRunning && !look.recording && look.hasSentences);
  copy_->setEnabled(hasTopics || look.hasTasks);
}

void MinutesPanel::showBlocks(const Look& look) {
  for (QWidget* block : blocks_) {
    list_->removeWidget(block);
    block->hide();
    block->deleteLater();
  }
  blocks_.clear();
  for (std::size_t i = 0; i < look.topics.size(); ++i) {
    QWidget* block = makeBlock(look.topics[i], look.starts[i], look.jobRunning);
    list_->insertWidget(static_cast<int>(i), block);
    blocks_.push_back(block);
  }
}

QWidget* MinutesPanel::makeBlock(const TopicTag& topic, const std::optional<double>& start, bool jobRunning) {
  auto* block = new QWidget;
  block->setObjectName(QStringLiteral("topicBlock"));
  auto* stack = new QVBoxLayout(block);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(kBlockSpacing);

  auto* heading = new TopicHeading(QString::fromStdString(topic.title),
                                   start ? QString::fromStdString(clock(*start)) : QString());
  const QUuid startSegmentID = topic.startSegmentID;
  connect(heading, &QAbstractButton::clicked, this, [this, startSegmentID] { live_.setScrollRequest(startSegmentID); });
  stack->addWidget(heading);

  for (const std::string& point : topic.points) {
    stack->addWidget(blockText(QStringLiteral("topicPoint"), QStringLiteral("・") + QString::fromStdString(point),
                               VeltoToolsDesign::withOpacity(VeltoToolsDesign::primary(), kPointOpacity)));
  }
  for (const std::string& decision : topic.decisions) {
    auto* row = new QHBoxLayout;
    row->setSpacing(kDecisionSpacing);
    row->addWidget(new DecisionBadge, 0, Qt::AlignTop);
    row->addWidget(blockText(QStringLiteral("decisionText"), QString::fromStdString(decision), VeltoToolsDesign::primary()),
                   1);
    stack->addLayout(row);
  }
  if (topic.points.empty() && topic.decisions.empty() && jobRunning) {
    auto* pending = new QLabel(QStringLiteral("まとめています…"));
    pending->setObjectName(QStringLiteral("topicPending"));
    pending->setFont(VeltoToolsDesign::systemFont(kSmallPixels));
    setTextColor(pending, VeltoToolsDesign::muted());
    stack->addWidget(pending);
  }
  return block;
}

void MinutesPanel::showEmptyState(const Look& look) {
  bool text = true;
  bool button = false;
  if (!look.topics.empty()) {
    text = false;
  } else if (!look.availability.isAvailable()) {
    emptyText_->setText(QString::fromStdString(TaskExtractor::availabilityText(*look.availability.unavailableReason)));
  } else if (look.recording) {
    emptyText_->setText(QStringLiteral("録音を終えると、話題ごとに区切って議事録を作ります。"));
  } else if (look.jobRunning) {
    emptyText_->setText(QStringLiteral("話題を区切っています…"));
  } else if (look.hasSentences) {
    text = false;
    button = true;
  } else {
    text = false;
  }
  emptyText_->setVisible(text);
  makeButton_->setVisible(button);
  emptyState_->setVisible(text || button);
}

void MinutesPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.fillPath(shape, VeltoToolsDesign::surface());
}

}  // namespace veltovoice
