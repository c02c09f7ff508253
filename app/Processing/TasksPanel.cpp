#include "app/Processing/TasksPanel.h"

#include <algorithm>
#include <functional>
#include <unordered_set>
#include <utility>

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "app/Processing/TaskDrag.h"
#include "app/Processing/TaskExtractor.h"
#include "app/Processing/TaskRow.h"
#include "app/Shell/WrappedText.h"
#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {
namespace {

constexpr int kPadding = 14;
constexpr int kSpacing = 10;
constexpr int kHeaderSpacing = 8;
constexpr int kTitlePixels = 12;
constexpr int kRowSpacing = 2;
constexpr int kEmptyTop = 4;
constexpr int kCornerRadius = 12;
constexpr int kZoneHeight = 28;
constexpr int kZoneRadius = 6;
constexpr int kZonePixels = 10;
constexpr double kZoneTint = 0.1;
constexpr int kIconSide = 16;

const QString kRootDropText = QStringLiteral("一番上の階層へ移動");

struct UuidHash {
  std::size_t operator()(const QUuid& id) const noexcept { return qHash(id); }
};

// The strip under the rows that takes a dragged task to the end of the top level.
class RootDropZone : public QWidget {
 public:
  std::function<void(bool)> onHover;
  std::function<bool(const QMimeData*)> onDrop;

  RootDropZone() {
    setObjectName(QStringLiteral("rootDropZone"));
    setAcceptDrops(true);
    setMinimumHeight(kZoneHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  }

  void setTargeted(bool targeted) {
    targeted_ = targeted;
    update();
  }

  QString text() const { return targeted_ ? kRootDropText : QStringLiteral(" "); }

  QSize sizeHint() const override { return QSize(0, kZoneHeight); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (targeted_) {
      QColor tint = VeltoToolsDesign::accent();
      tint.setAlphaF(kZoneTint);
      QPainterPath shape;
      shape.addRoundedRect(QRectF(rect()), kZoneRadius, kZoneRadius);
      painter.fillPath(shape, tint);
    }
    painter.setFont(VeltoToolsDesign::systemFont(kZonePixels));
    painter.setPen(VeltoToolsDesign::accent());
    painter.drawText(rect(), Qt::AlignCenter, text());
  }

  void dragEnterEvent(QDragEnterEvent* event) override {
    if (!TaskDrag::accepts(event->mimeData())) {
      event->ignore();
      return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    if (onHover) onHover(true);
  }

  void dragMoveEvent(QDragMoveEvent* event) override {
    if (!TaskDrag::accepts(event->mimeData())) {
      event->ignore();
      return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
  }

  void dragLeaveEvent(QDragLeaveEvent*) override {
    if (onHover) onHover(false);
  }

  void dropEvent(QDropEvent* event) override {
    if (onHover) onHover(false);
    if (!onDrop || !onDrop(event->mimeData())) {
      event->ignore();
      return;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
  }

 private:
  bool targeted_ = false;
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

// The ids that some task of `tasks` names as its parent.
std::unordered_set<QUuid, UuidHash> parentIDs(const std::vector<TaskItem>& tasks) {
  std::unordered_set<QUuid, UuidHash> parents;
  for (const TaskItem& task : tasks) {
    if (task.parentID) parents.insert(*task.parentID);
  }
  return parents;
}

const std::vector<TaskItem>& tasksOf(const VoiceSession* session) {
  static const std::vector<TaskItem> none;
  return session && session->tasks ? *session->tasks : none;
}

}  // namespace

std::size_t TasksPanel::IdHash::operator()(const QUuid& id) const noexcept { return qHash(id); }

TasksPanel::TasksPanel(LiveModel& model, AudioPlayback& player, QWidget* parent)
    : QWidget(parent), live_(model), player_(player) {
  setObjectName(QStringLiteral("tasksPanel"));
  setFixedWidth(kWidth);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);

  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("taskList"));
  list_ = new QVBoxLayout(content);
  list_->setContentsMargins(0, 0, 0, 0);
  list_->setSpacing(kRowSpacing);

  emptyState_ = new QWidget;
  auto* empty = new QVBoxLayout(emptyState_);
  empty->setContentsMargins(0, kEmptyTop, 0, 0);
  emptyText_ = new WrappedText;
  emptyText_->setObjectName(QStringLiteral("tasksEmptyText"));
  emptyText_->setColor(VeltoToolsDesign::muted());
  auto* extract = new QPushButton(Symbols::icon(QStringLiteral("checklist")), QStringLiteral("タスクを抜き出す"));
  extract->setObjectName(QStringLiteral("extractTasks"));
  extract_ = extract;
  connect(extract_, &QAbstractButton::clicked, this, [this] { live_.reextractTasks(sessionID_); });
  empty->addWidget(emptyText_);
  empty->addWidget(extract_, 0, Qt::AlignLeft);

  auto* zone = new RootDropZone;
  zone->onHover = [this](bool targeted) { setRootDropTargeted(targeted); };
  zone->onDrop = [this](const QMimeData* mime) {
    const QPointer<TasksPanel> self(this);
    return TaskDrag::load(mime, [self](const QUuid& dragged) {
      if (self) self->dropOnRoot(dragged);
    });
  };
  dropZone_ = zone;

  list_->addWidget(emptyState_);
  list_->addWidget(dropZone_);
  list_->addStretch(1);

  scroll_ = new QScrollArea;
  scroll_->setObjectName(QStringLiteral("taskScroll"));
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setWidget(content);
  scroll_->viewport()->setAutoFillBackground(false);
  content->setAutoFillBackground(false);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  column->setSpacing(kSpacing);
  column->addWidget(makeHeader());
  column->addWidget(scroll_, 1);

  sessionID_ = live_.selectedID().value_or(QUuid());
  connect(&live_, &LiveModel::selectedIDChanged, this, [this] {
    if (followsSelection_) showSession(live_.selectedID().value_or(QUuid()));
  });
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (id == sessionID_) refresh();
  });
  connect(&live_, &LiveModel::sessionInserted, this, &TasksPanel::refresh);
  connect(&live_, &LiveModel::sessionRemoved, this, &TasksPanel::refresh);
  connect(&live_, &LiveModel::jobsChanged, this, &TasksPanel::jobsChanged);
  connect(&live_, &LiveModel::liveIDChanged, this, &TasksPanel::refresh);
  connect(&player_, &AudioPlayback::loadedChanged, this, &TasksPanel::refresh);
  refresh();
}

TasksPanel::~TasksPanel() {
  for (TaskRow* row : order_) row->retire();
}

QWidget* TasksPanel::makeHeader() {
  auto* header = new QWidget;
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(kHeaderSpacing);

  auto* title = new QLabel(QStringLiteral("タスク"));
  title->setFont(VeltoToolsDesign::systemFont(kTitlePixels, QFont::Bold));
  count_ = new QLabel;
  count_->setObjectName(QStringLiteral("openTaskCount"));
  QPalette muted = count_->palette();
  muted.setColor(QPalette::WindowText, VeltoToolsDesign::muted());
  count_->setPalette(muted);

  auto* busy = new QProgressBar;
  busy->setObjectName(QStringLiteral("taskJobIndicator"));
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setFixedSize(24, 6);
  busy_ = busy;

  add_ = iconButton(QStringLiteral("addTask"), QStringLiteral("plus"), QStringLiteral("タスクを追加"));
  connect(add_, &QAbstractButton::clicked, this, [this] { focusOn(live_.addTask(sessionID_)); });

  menuButton_ = iconButton(QStringLiteral("taskActions"), QStringLiteral("ellipsis.circle"), QString());
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
  menu_ = new QMenu(menuButton_);
  regroup_ = menu_->addAction(QStringLiteral("ツリーにまとめ直す"), this, [this] { live_.regroupTasks(sessionID_); });
  reextract_ = menu_->addAction(QStringLiteral("タスクを抜き出し直す"), this, [this] { live_.reextractTasks(sessionID_); });
  menu_->addSeparator();
  expandAll_ = menu_->addAction(QStringLiteral("すべて開く"), this, [this] { setCollapsed(false); });
  collapseAll_ = menu_->addAction(QStringLiteral("すべて閉じる"), this, [this] { setCollapsed(true); });
  menu_->addSeparator();
  copy_ = menu_->addAction(QStringLiteral("タスクをコピー"), this, [this] { live_.copyTasks(sessionID_); });
  menuButton_->setMenu(menu_);

  row->addWidget(title);
  row->addWidget(count_);
  row->addWidget(busy_);
  row->addStretch(1);
  row->addWidget(add_);
  row->addWidget(menuButton_);
  return header;
}

void TasksPanel::setSessionID(const QUuid& id) {
  followsSelection_ = false;
  showSession(id);
}

void TasksPanel::showSession(const QUuid& id) {
  if (id == sessionID_) return;
  sessionID_ = id;
  // Rows belong to one conversation: another conversation starts with fresh ones.
  showRows({});
  refresh();
}

std::vector<TasksPanel::Row> TasksPanel::visibleRows(const std::vector<TaskItem>& tasks) {
  std::unordered_map<QUuid, std::vector<std::size_t>, UuidHash> children;
  std::unordered_set<QUuid, UuidHash> ids;
  ids.reserve(tasks.size());
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    ids.insert(tasks[i].id);
    if (tasks[i].parentID) children[*tasks[i].parentID].push_back(i);
  }
  std::vector<Row> rows;
  std::unordered_set<QUuid, UuidHash> listed;
  std::vector<char> visited(tasks.size(), 0);

  // Depth first without recursion: a chain of any depth from a file must not run out of stack.
  struct Pending {
    std::size_t index;
    int depth;
  };
  std::vector<Pending> pending;
  for (std::size_t i = tasks.size(); i-- > 0;) {
    if (!tasks[i].parentID) pending.push_back({i, 0});
  }
  while (!pending.empty()) {
    const Pending next = pending.back();
    pending.pop_back();
    if (visited[next.index]) continue;
    visited[next.index] = 1;
    const TaskItem& task = tasks[next.index];
    if (!listed.insert(task.id).second) continue;
    const auto found = children.find(task.id);
    const bool hasChildren = found != children.end();
    rows.push_back({task, next.depth, hasChildren});
    if (!hasChildren || task.collapsed.value_or(false)) continue;
    for (auto child = found->second.rbegin(); child != found->second.rend(); ++child) {
      if (!visited[*child]) pending.push_back({*child, next.depth + 1});
    }
  }
  for (const TaskItem& task : tasks) {
    if (task.parentID && !ids.count(*task.parentID) && listed.insert(task.id).second) {
      rows.push_back({task, 0, false});
    }
  }
  return rows;
}

std::vector<TasksPanel::Row> TasksPanel::visible() const {
  return visibleRows(tasksOf(live_.session(sessionID_)));
}

bool TasksPanel::canSeek() const {
  if (live_.liveID() == sessionID_) return false;
  return player_.loaded();
}

void TasksPanel::setCollapsed(bool collapsed) {
  std::vector<QUuid> parents;
  const std::vector<TaskItem>& tasks = tasksOf(live_.session(sessionID_));
  const auto named = parentIDs(tasks);
  for (const TaskItem& task : tasks) {
    if (named.count(task.id)) parents.push_back(task.id);
  }
  for (const QUuid& id : parents) {
    live_.updateTask(sessionID_, id, [collapsed](TaskItem& task) { task.collapsed = collapsed; });
  }
}

TaskRow* TasksPanel::row(const QUuid& id) const {
  const auto found = rows_.find(id);
  return found == rows_.end() ? nullptr : found->second;
}

QString TasksPanel::rootDropText() const { return static_cast<RootDropZone*>(dropZone_)->text(); }

void TasksPanel::jobsChanged() {
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

void TasksPanel::refresh() {
  const VoiceSession* session = live_.session(sessionID_);
  const std::vector<TaskItem>& tasks = tasksOf(session);
  const bool recording = live_.liveID() == sessionID_;
  const bool jobRunning = live_.taskJobs().contains(sessionID_);
  showHeader(tasks, recording, jobRunning);
  showRows(visibleRows(tasks));
  showEmptyState(tasks.empty(), session && !session->segments.empty(),
                 session && session->tasksScannedThrough.has_value(), recording, jobRunning);
}

void TasksPanel::showHeader(const std::vector<TaskItem>& tasks, bool recording, bool jobRunning) {
  const auto named = parentIDs(tasks);
  const auto open = std::count_if(tasks.begin(), tasks.end(),
                                   [&named](const TaskItem& task) { return !task.done && !named.count(task.id); });
  count_->setText(QString::number(open));
  count_->setVisible(!tasks.empty());
  busy_->setVisible(jobRunning);
  regroup_->setEnabled(tasks.size() >= 2 && !jobRunning);
  reextract_->setEnabled(!recording);
  copy_->setEnabled(!tasks.empty());
}

void TasksPanel::showRows(const std::vector<Row>& rows) {
  const bool seekable = canSeek();
  std::unordered_map<QUuid, TaskRow*, IdHash> kept;
  kept.reserve(rows.size());
  std::vector<TaskRow*> order;
  order.reserve(rows.size());
  for (const Row& row : rows) {
    TaskRow::Action onSeek;
    if (seekable && row.task.sourceStart) {
      onSeek = [player = &player_, time = *row.task.sourceStart] { player->seek(time, true); };
    }
    TaskRow* shown = nullptr;
    if (const auto found = rows_.find(row.task.id); found != rows_.end()) {
      shown = found->second;
      rows_.erase(found);
      shown->setTask(row.task, row.depth, row.hasChildren, std::move(onSeek));
    } else {
      const QUuid id = row.task.id;
      shown = new TaskRow(live_, sessionID_, row.task, row.depth, row.hasChildren, focusTask_ == id,
                          std::move(onSeek), [this, id] { focusOn(live_.addTask(sessionID_, id)); });
    }
    kept.emplace(row.task.id, shown);
    order.push_back(shown);
  }
  // Rows of tasks no longer listed go once the event that led here has finished with them.
  for (auto& [id, gone] : rows_) {
    gone->retire();
    gone->hide();
    list_->removeWidget(gone);
    gone->deleteLater();
  }
  rows_ = std::move(kept);
  if (order != order_) {
    for (TaskRow* row : order_) {
      if (rows_.count(row->task().id) && rows_.at(row->task().id) == row) list_->removeWidget(row);
    }
    for (std::size_t i = 0; i < order.size(); ++i) list_->insertWidget(static_cast<int>(i), order[i]);
    order_ = std::move(order);
  }
}

void TasksPanel::showEmptyState(bool empty, bool hasSentences, bool scanned, bool recording, bool jobRunning) {
  dropZone_->setVisible(!empty);
  emptyState_->setVisible(empty);
  if (!empty) return;
  const auto& model = live_.services().languageModel;
  const auto availability = model ? model->availability()
                                   : platform::SystemLanguageModel::Availability::unavailable(
                                         platform::SystemLanguageModel::UnavailableReason::other);
  bool button = false;
  if (!availability.isAvailable()) {
    emptyText_->setText(QString::fromStdString(TaskExtractor::availabilityText(*availability.unavailableReason)));
  } else if (recording) {
    emptyText_->setText(QStringLiteral("会話からやることが見つかると、ここに出ます。"));
  } else if (!scanned && hasSentences) {
    button = true;
  } else {
    emptyText_->setText(QStringLiteral("タスクは見つかりませんでした。"));
  }
  emptyText_->setVisible(!button);
  extract_->setVisible(button);
  extract_->setEnabled(!jobRunning);
}

void TasksPanel::focusOn(const std::optional<QUuid>& id) {
  focusTask_ = id;
  if (!id) return;
  if (TaskRow* shown = row(*id)) shown->takeFocus();
}

void TasksPanel::dropOnRoot(const QUuid& dragged) {
  const std::vector<TaskItem>& tasks = tasksOf(live_.session(sessionID_));
  const auto roots = std::count_if(tasks.begin(), tasks.end(), [&dragged](const TaskItem& task) {
    return !task.parentID && task.id != dragged;
  });
  live_.moveTask(sessionID_, dragged, std::nullopt, static_cast<int>(roots));
}

void TasksPanel::setRootDropTargeted(bool targeted) {
  rootDropTargeted_ = targeted;
  static_cast<RootDropZone*>(dropZone_)->setTargeted(targeted);
}

void TasksPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.fillPath(shape, VeltoToolsDesign::surface());
}

}  // namespace veltovoice
