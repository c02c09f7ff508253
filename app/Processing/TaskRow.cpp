#include "app/Processing/TaskRow.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Processing/TaskDrag.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {
namespace {

constexpr int kSpacing = 6;
constexpr int kPadding = 4;
constexpr int kStackSpacing = 3;
constexpr int kChevronWidth = 12;
constexpr int kChevronHeight = 16;
constexpr int kChevronPixels = 9;
constexpr int kToggleSide = 16;
constexpr int kMetaPixels = 10;
constexpr int kCornerRadius = 6;
constexpr int kBarHeight = 2;
constexpr double kIntoTint = 0.14;
constexpr double kLinkOpacity = 0.8;
constexpr int kParentTitleGraphemes = 30;
constexpr int kOtherConversations = 15;

QString menuText(const std::string& text) {
  // A menu reads "&" as the mark of a shortcut letter.
  return QString::fromStdString(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

// The title field: a borderless plain-text editor as high as its wrapped text. Keys and the loss
// of focus go to the row first.
class TitleField : public QPlainTextEdit {
 public:
  std::function<bool(QKeyEvent*)> onKey;
  std::function<void()> onFocusOut;

  TitleField() {
    setObjectName(QStringLiteral("taskTitle"));
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setTabChangesFocus(false);
    setPlaceholderText(QStringLiteral("やること"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Drops and the context menu belong to the row.
    setAcceptDrops(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    document()->setDocumentMargin(1);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::transparent);
    setPalette(colours);
    viewport()->setAutoFillBackground(false);
    connect(this, &QPlainTextEdit::textChanged, this, [this] { fitHeight(); });
    fitHeight();
  }

  // The height of every wrapped line at the current width, plus the margins.
  int textHeight() const {
    qreal lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
      lines += blockBoundingRect(block).height();
    }
    const int margin = static_cast<int>(2 * document()->documentMargin());
    return std::max(static_cast<int>(std::ceil(lines)), fontMetrics().lineSpacing()) + margin;
  }

  void fitHeight() {
    const int height = textHeight();
    if (height != this->height() || minimumHeight() != height) setFixedHeight(height);
  }

 protected:
  bool event(QEvent* event) override {
    // Before the base class: Tab would otherwise move the focus or be typed.
    if (event->type() == QEvent::KeyPress && onKey && onKey(static_cast<QKeyEvent*>(event))) return true;
    return QPlainTextEdit::event(event);
  }

  void focusOutEvent(QFocusEvent* event) override {
    QPlainTextEdit::focusOutEvent(event);
    if (onFocusOut) onFocusOut();
  }

  void resizeEvent(QResizeEvent* event) override {
    QPlainTextEdit::resizeEvent(event);
    fitHeight();
  }
};

QToolButton* plainButton(const QString& objectName) {
  auto* button = new QToolButton;
  button->setObjectName(objectName);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

// How the desktop writes Ctrl with `key`, the keys that move a task in the list.
QString keyText(Qt::Key key) { return QKeySequence(Qt::CTRL | key).toString(QKeySequence::NativeText); }

}  // namespace

TaskRow::TaskRow(LiveModel& live, const QUuid& sessionID, const TaskItem& task, int depth,
                 bool hasChildren, bool autoFocus, Action onSeek, Action onAddBelow, QWidget* parent)
    : QWidget(parent),
      live_(live),
      sessionID_(sessionID),
      task_(task),
      depth_(depth),
      hasChildren_(hasChildren),
      autoFocus_(autoFocus),
      onSeek_(std::move(onSeek)),
      onAddBelow_(std::move(onAddBelow)) {
  setObjectName(QStringLiteral("taskRow"));
  setAcceptDrops(true);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  indent_ = new QWidget;
  indent_->setFixedSize(depth_ * kIndentPerLevel, 1);

  auto* chevron = plainButton(QStringLiteral("taskChevron"));
  chevron->setFixedSize(kChevronWidth, kChevronHeight);
  chevron->setIconSize(QSize(kChevronPixels, kChevronPixels));
  chevron_ = chevron;
  connect(chevron_, &QAbstractButton::clicked, this, [this] {
    live_.updateTask(sessionID_, task_.id, [](TaskItem& item) { item.collapsed = !item.collapsed.value_or(false); });
  });

  auto* toggle = plainButton(QStringLiteral("taskDone"));
  toggle->setFixedSize(kToggleSide, kToggleSide);
  toggle->setIconSize(QSize(kToggleSide - 2, kToggleSide - 2));
  doneToggle_ = toggle;
  connect(doneToggle_, &QAbstractButton::clicked, this, [this] { live_.toggleTaskDone(sessionID_, task_.id); });

  auto* field = new TitleField;
  field->onKey = [this](QKeyEvent* event) { return titleKey(event); };
  field->onFocusOut = [this] { commit(); };
  field->setPlainText(QString::fromStdString(task_.title));
  field_ = field;

  metaText_ = new QLabel;
  metaText_->setObjectName(QStringLiteral("taskMeta"));
  metaText_->setFont(VeltoToolsDesign::systemFont(kMetaPixels));
  auto* link = plainButton(QStringLiteral("taskTime"));
  link->setFont(VeltoToolsDesign::monospacedDigitFont(kMetaPixels));
  link->setToolTip(QStringLiteral("この発言から再生"));
  link->setToolButtonStyle(Qt::ToolButtonTextOnly);
  timeLink_ = link;
  connect(timeLink_, &QAbstractButton::clicked, this, [this] {
    if (onSeek_) onSeek_();
  });
  metaLine_ = new QWidget;
  auto* meta = new QHBoxLayout(metaLine_);
  meta->setContentsMargins(0, 0, 0, 0);
  meta->setSpacing(kSpacing);
  meta->addWidget(metaText_);
  meta->addWidget(timeLink_);
  meta->addStretch(1);

  auto* stack = new QVBoxLayout;
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(kStackSpacing);
  stack->addWidget(field_);
  stack->addWidget(metaLine_);

  auto* togglePlace = new QVBoxLayout;
  togglePlace->setContentsMargins(0, 1, 0, 0);
  togglePlace->addWidget(doneToggle_);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  row->setSpacing(kSpacing);
  row->addWidget(indent_, 0, Qt::AlignTop);
  row->addWidget(chevron_, 0, Qt::AlignTop);
  row->addLayout(togglePlace);
  row->addLayout(stack, 1);
  row->setAlignment(togglePlace, Qt::AlignTop);

  showTask();
}

TaskRow::~TaskRow() {
  retired_ = true;
  // The field outlives this object's members while QWidget deletes its children.
  auto* field = static_cast<TitleField*>(field_);
  field->onKey = nullptr;
  field->onFocusOut = nullptr;
}

void TaskRow::setTask(const TaskItem& task, int depth, bool hasChildren, Action onSeek) {
  const bool seekChanged = static_cast<bool>(onSeek) != static_cast<bool>(onSeek_);
  onSeek_ = std::move(onSeek);
  if (task == task_ && depth == depth_ && hasChildren == hasChildren_ && !seekChanged) return;
  const bool titleChanged = task.title != task_.title;
  task_ = task;
  depth_ = depth;
  hasChildren_ = hasChildren;
  if (titleChanged && !field_->hasFocus()) field_->setPlainText(QString::fromStdString(task_.title));
  showTask();
}

void TaskRow::showTask() {
  indent_->setFixedWidth(depth_ * kIndentPerLevel);

  chevron_->setEnabled(hasChildren_);
  chevron_->setIcon(hasChildren_ ? Symbols::icon(task_.collapsed.value_or(false) ? QStringLiteral("chevron.right")
                                                                                  : QStringLiteral("chevron.down"),
                                                  VeltoToolsDesign::muted())
                                 : QIcon());

  doneToggle_->setIcon(task_.done ? Symbols::icon(QStringLiteral("checkmark.circle.fill"), VeltoToolsDesign::accent())
                                  : Symbols::icon(QStringLiteral("circle"), VeltoToolsDesign::muted()));
  doneToggle_->setToolTip(task_.done ? QStringLiteral("未完了に戻す") : QStringLiteral("完了にする"));

  QFont font = field_->font();
  font.setWeight(hasChildren_ ? QFont::DemiBold : QFont::Normal);
  font.setStrikeOut(task_.done);
  if (font != field_->font()) field_->setFont(font);
  QPalette colours = field_->palette();
  colours.setColor(QPalette::Text, task_.done ? VeltoToolsDesign::muted() : VeltoToolsDesign::primary());
  field_->setPalette(colours);

  showMeta();
}

void TaskRow::showMeta() {
  const QString text = metaTextFor(task_);
  metaText_->setText(text);
  metaText_->setVisible(!text.isEmpty());
  QPalette textColours = metaText_->palette();
  textColours.setColor(QPalette::WindowText, VeltoToolsDesign::muted());
  metaText_->setPalette(textColours);

  timeLink_->setVisible(task_.sourceStart.has_value());
  if (task_.sourceStart) timeLink_->setText(QString::fromStdString(clock(*task_.sourceStart)));
  timeLink_->setEnabled(static_cast<bool>(onSeek_));
  QPalette linkColours = timeLink_->palette();
  const QColor linkColour =
      onSeek_ ? VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), kLinkOpacity) : VeltoToolsDesign::muted();
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    linkColours.setColor(group, QPalette::ButtonText, linkColour);
  }
  timeLink_->setPalette(linkColours);

  metaLine_->setVisible(!text.isEmpty() || task_.sourceStart.has_value());
}

QString TaskRow::metaTextFor(const TaskItem& task) {
  QStringList parts;
  if (!task.assignee.empty()) parts << QString::fromStdString(task.assignee);
  if (!task.due.empty()) parts << QString::fromStdString(task.due);
  return parts.join(QStringLiteral(" · "));
}

void TaskRow::takeFocus() {
  if (shown_ && isVisible()) {
    field_->setFocus(Qt::OtherFocusReason);
  } else {
    autoFocus_ = true;
  }
}

void TaskRow::retire() {
  if (retired_) return;
  retired_ = true;
  // A title being typed when the row leaves the outline is kept; leaving never deletes the task.
  const std::string text = platform::text::trimWhitespaceAndNewlines(title().toStdString());
  if (!field_->hasFocus() || text.empty() || text == task_.title) return;
  const QPointer<LiveModel> live(&live_);
  QTimer::singleShot(0, &live_, [live, sessionID = sessionID_, taskID = task_.id, text] {
    if (!live) return;
    live->updateTask(sessionID, taskID, [text](TaskItem& item) {
      item.title = text;
      item.manual = true;
    });
  });
}

QPlainTextEdit* TaskRow::titleField() const { return field_; }

QString TaskRow::title() const {
  return field_->toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n'));
}

bool TaskRow::focused() const { return field_->hasFocus(); }

void TaskRow::commit() {
  if (retired_) return;
  const std::string text = platform::text::trimWhitespaceAndNewlines(title().toStdString());
  if (!text.empty()) {
    if (text == task_.title) return;
    live_.updateTask(sessionID_, task_.id, [text](TaskItem& item) {
      item.title = text;
      item.manual = true;
    });
  } else if (hasChildren_) {
    field_->setPlainText(QString::fromStdString(task_.title));
  } else {
    live_.deleteTask(sessionID_, task_.id);
  }
}

void TaskRow::refocus() {
  QTimer::singleShot(0, this, [this] { field_->setFocus(Qt::OtherFocusReason); });
}

bool TaskRow::titleKey(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers();
  switch (event->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      commit();
      if (event->key() == Qt::Key_Backtab || modifiers.testFlag(Qt::ShiftModifier)) {
        live_.outdentTask(sessionID_, task_.id);
      } else {
        live_.indentTask(sessionID_, task_.id);
      }
      refocus();
      return true;
    case Qt::Key_Up:
    case Qt::Key_Down:
      if (!modifiers.testFlag(Qt::ControlModifier)) return false;
      commit();
      if (event->key() == Qt::Key_Up) {
        live_.moveTaskUp(sessionID_, task_.id);
      } else {
        live_.moveTaskDown(sessionID_, task_.id);
      }
      refocus();
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
      if (modifiers & (Qt::ShiftModifier | Qt::AltModifier)) return false;
      commit();
      // The commit may have deleted this row's task; adding below it then adds nothing.
      const Action addBelow = onAddBelow_;
      if (addBelow) addBelow();
      return true;
    }
    default:
      return false;
  }
}

QMenu* TaskRow::menu() {
  auto* menu = new QMenu;
  menu->setObjectName(QStringLiteral("taskMenu"));
  const QUuid sessionID = sessionID_;
  const QUuid taskID = task_.id;
  LiveModel* live = &live_;

  menu->addAction(QStringLiteral("下にタスクを追加"), this, [this] {
    const Action addBelow = onAddBelow_;
    if (addBelow) addBelow();
  });
  menu->addSeparator();
  menu->addAction(QStringLiteral("上へ移動（%1）").arg(keyText(Qt::Key_Up)), this, [live, sessionID, taskID] { live->moveTaskUp(sessionID, taskID); });
  menu->addAction(QStringLiteral("下へ移動（%1）").arg(keyText(Qt::Key_Down)), this, [live, sessionID, taskID] { live->moveTaskDown(sessionID, taskID); });
  menu->addAction(QStringLiteral("一段下げる（Tab）"), this, [live, sessionID, taskID] { live->indentTask(sessionID, taskID); });
  QAction* outdent = menu->addAction(QStringLiteral("一段上げる（Shift+Tab）"), this,
                                     [live, sessionID, taskID] { live->outdentTask(sessionID, taskID); });
  outdent->setEnabled(task_.parentID.has_value());

  const VoiceSession* session = live_.session(sessionID_);
  const std::vector<TaskItem> tasks = session && session->tasks ? *session->tasks : std::vector<TaskItem>{};

  QMenu* parents = menu->addMenu(QStringLiteral("親を選んで移動"));
  parents->setObjectName(QStringLiteral("parentMenu"));
  int otherRoots = 0;
  for (const TaskItem& item : tasks) {
    if (!item.parentID && item.id != taskID) ++otherRoots;
  }
  QAction* top = parents->addAction(QStringLiteral("一番上の階層"), this, [live, sessionID, taskID, otherRoots] {
    live->moveTask(sessionID, taskID, std::nullopt, otherRoots);
  });
  top->setEnabled(task_.parentID.has_value());
  parents->addSeparator();
  for (const TaskItem& candidate : tasks) {
    if (candidate.id == taskID || (task_.parentID && candidate.id == *task_.parentID) ||
        LiveModel::isDescendant(candidate.id, taskID, tasks)) {
      continue;
    }
    int children = 0;
    for (const TaskItem& item : tasks) {
      if (item.parentID && *item.parentID == candidate.id) ++children;
    }
    const QUuid parentID = candidate.id;
    parents->addAction(menuText(platform::text::graphemePrefix(candidate.title, kParentTitleGraphemes)), this,
                       [live, sessionID, taskID, parentID, children] {
                         live->moveTask(sessionID, taskID, parentID, children);
                       });
  }

  QMenu* others = menu->addMenu(QStringLiteral("別の会話へ移動"));
  others->setObjectName(QStringLiteral("conversationMenu"));
  int listed = 0;
  for (const VoiceSession& other : live_.sessions()) {
    if (listed == kOtherConversations) break;
    if (other.id == sessionID) continue;
    ++listed;
    const QUuid target = other.id;
    others->addAction(menuText(other.title), this,
                      [live, sessionID, taskID, target] { live->moveTaskToSession(sessionID, taskID, target); });
  }

  menu->addSeparator();
  menu->addAction(hasChildren_ ? QStringLiteral("このタスクと子タスクを削除") : QStringLiteral("このタスクを削除"), this,
                  [live, sessionID, taskID] { live->deleteTask(sessionID, taskID); });
  return menu;
}

TaskRow::DropMode TaskRow::modeAt(int y) const {
  return y < kBeforeShare * height_ ? DropMode::before : DropMode::into;
}

void TaskRow::setDropMode(DropMode mode) {
  if (mode == dropMode_) return;
  dropMode_ = mode;
  update();
}

void TaskRow::paintEvent(QPaintEvent*) {
  if (dropMode_ == DropMode::none) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (dropMode_ == DropMode::into) {
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(shape, VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), kIntoTint));
  } else {
    const int inset = depth_ * kIndentPerLevel;
    painter.fillRect(QRect(inset, 0, width() - inset, kBarHeight), VeltoToolsDesign::accent());
  }
}

void TaskRow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  height_ = height();
}

void TaskRow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (autoFocus_) field_->setFocus(Qt::OtherFocusReason);
}

void TaskRow::contextMenuEvent(QContextMenuEvent* event) {
  const std::unique_ptr<QMenu> shown(menu());
  // An action may retire this row; nothing of the row is used once the menu has run.
  shown->exec(event->globalPos());
}

void TaskRow::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  pressedAt_ = event->position().toPoint();
  QWidget::mousePressEvent(event);
}

void TaskRow::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_ || !(event->buttons() & Qt::LeftButton) ||
      (event->position().toPoint() - pressedAt_).manhattanLength() < QApplication::startDragDistance()) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  pressed_ = false;
  auto* drag = new QDrag(this);
  drag->setMimeData(TaskDrag::mimeData(task_.id));
  drag->exec(Qt::MoveAction);
}

void TaskRow::dragEnterEvent(QDragEnterEvent* event) {
  if (!TaskDrag::accepts(event->mimeData())) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void TaskRow::dragMoveEvent(QDragMoveEvent* event) {
  if (!TaskDrag::accepts(event->mimeData())) {
    event->ignore();
    return;
  }
  setDropMode(modeAt(event->position().toPoint().y()));
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void TaskRow::dragLeaveEvent(QDragLeaveEvent* event) {
  setDropMode(DropMode::none);
  QWidget::dragLeaveEvent(event);
}

void TaskRow::dropEvent(QDropEvent* event) {
  const DropMode mode = modeAt(event->position().toPoint().y());
  setDropMode(DropMode::none);
  // The row may be gone when the id arrives: the drop works from copies.
  const QPointer<LiveModel> live(&live_);
  const QUuid sessionID = sessionID_;
  const TaskItem target = task_;
  const bool loaded = TaskDrag::load(event->mimeData(), [live, sessionID, target, mode](const QUuid& dragged) {
    if (!live || dragged == target.id) return;
    const VoiceSession* session = live->session(sessionID);
    const std::vector<TaskItem> tasks = session && session->tasks ? *session->tasks : std::vector<TaskItem>{};
    if (mode == DropMode::before) {
      // This task's place among its siblings without the dragged one; their count when it is gone.
      int index = 0;
      for (const TaskItem& item : tasks) {
        if (item.id == target.id) break;
        if (item.id != dragged && item.parentID == target.parentID) ++index;
      }
      live->moveTask(sessionID, dragged, target.parentID, index);
    } else {
      int children = 0;
      for (const TaskItem& item : tasks) {
        if (item.id != dragged && item.parentID == target.id) ++children;
      }
      live->moveTask(sessionID, dragged, target.id, children);
    }
  });
  if (!loaded) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

}  // namespace veltovoice
