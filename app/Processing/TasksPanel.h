#pragma once

#include <optional>
#include <unordered_map>
#include <vector>

#include <QUuid>
#include <QWidget>

#include "app/Model/TaskItem.h"

class QAbstractButton;
class QAction;
class QLabel;
class QMenu;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace veltovoice {

class AudioPlayback;
class LiveModel;
class TaskRow;
class WrappedText;

// The task tree of one conversation as an indented, collapsible outline, in the right-hand column
// of the main window: a header with the number of open leaf tasks, a spinner while tasks are
// extracted or regrouped, the add button and a menu (regroup, extract again, expand all, collapse
// all, copy), then one task row per visible task, a top-level drop zone, or, for an empty tree, a
// text that says why (or a button that extracts the tasks). Every change goes through the model's
// task operations; the panel keeps interface state only (the task whose row takes the focus, the
// hover over the drop zone). It follows the model's signals and reuses the row of each task id,
// so that a change elsewhere never takes the focus or a title being typed from a row.
// GUI thread only.
class TasksPanel : public QWidget {
  Q_OBJECT

 public:
  // A listed task: its copy, its depth (0: top level) and whether some task names it as parent.
  struct Row {
    TaskItem task;
    int depth = 0;
    bool hasChildren = false;
    bool operator==(const Row&) const = default;
  };

  static constexpr int kWidth = 320;

  // `model` and `player` are borrowed and must outlive the panel. Shows the model's selected
  // conversation, following the selection, until setSessionID() names one.
  TasksPanel(LiveModel& model, AudioPlayback& player, QWidget* parent = nullptr);
  ~TasksPanel() override;

  // Shows the conversation `id` from now on, whatever is selected (an id the model does not know
  // shows an empty tree).
  void setSessionID(const QUuid& id);
  const QUuid& sessionID() const { return sessionID_; }

  // The listed tasks of `tasks`: depth first from the top level in list order, each parent followed
  // by its subtree unless it is collapsed; then, at depth 0 and without children, every task whose
  // parent is missing from the list. Tasks reached from neither (below a missing parent, in a parent
  // cycle) and later copies of a listed id are left out.
  static std::vector<Row> visibleRows(const std::vector<TaskItem>& tasks);
  // visibleRows() of the conversation shown.
  std::vector<Row> visible() const;
  // Whether rows may play the recording: a recording is open and this conversation is not being
  // recorded.
  bool canSeek() const;
  // Collapses (true) or expands (false) every task that has children; expanding stores false.
  void setCollapsed(bool collapsed);

  // The task whose row takes the focus when it is first shown; set by the add actions.
  const std::optional<QUuid>& focusTask() const { return focusTask_; }
  // Whether a drag hovers over the top-level drop zone.
  bool rootDropTargeted() const { return rootDropTargeted_; }

  // Reads the model again. The panel does this on every model signal; the language model's
  // availability has none, so whoever learns of its change calls this.
  void refresh();

  // The parts, for tests.
  QLabel* countLabel() const { return count_; }
  QWidget* busyIndicator() const { return busy_; }
  QAbstractButton* addButton() const { return add_; }
  QToolButton* menuButton() const { return menuButton_; }
  QAction* regroupAction() const { return regroup_; }
  QAction* reextractAction() const { return reextract_; }
  QAction* expandAllAction() const { return expandAll_; }
  QAction* collapseAllAction() const { return collapseAll_; }
  QAction* copyAction() const { return copy_; }
  // The row of task `id` while it is listed, else null.
  TaskRow* row(const QUuid& id) const;
  // The rows in their order on screen.
  const std::vector<TaskRow*>& rows() const { return order_; }
  // The empty state's text (hidden when the button is shown instead) and its button.
  WrappedText* emptyText() const { return emptyText_; }
  QAbstractButton* extractButton() const { return extract_; }
  QWidget* rootDropZone() const { return dropZone_; }
  // What the drop zone reads: "一番上の階層へ移動" while a drag hovers, else " ".
  QString rootDropText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void jobsChanged();
  void showSession(const QUuid& id);
  QWidget* makeHeader();
  void showHeader(const std::vector<TaskItem>& tasks, bool recording, bool jobRunning);
  void showRows(const std::vector<Row>& rows);
  void showEmptyState(bool empty, bool hasSentences, bool scanned, bool recording, bool jobRunning);
  void focusOn(const std::optional<QUuid>& id);
  void dropOnRoot(const QUuid& dragged);
  void setRootDropTargeted(bool targeted);

  LiveModel& live_;
  AudioPlayback& player_;
  QUuid sessionID_;
  bool refreshQueued_ = false;
  bool followsSelection_ = true;
  std::optional<QUuid> focusTask_;
  bool rootDropTargeted_ = false;

  QLabel* count_;
  QWidget* busy_;
  QAbstractButton* add_;
  QToolButton* menuButton_;
  QMenu* menu_;
  QAction* regroup_;
  QAction* reextract_;
  QAction* expandAll_;
  QAction* collapseAll_;
  QAction* copy_;
  QScrollArea* scroll_;
  QVBoxLayout* list_;
  QWidget* emptyState_;
  WrappedText* emptyText_;
  QAbstractButton* extract_;
  QWidget* dropZone_;

  struct IdHash {
    std::size_t operator()(const QUuid& id) const noexcept;
  };
  std::unordered_map<QUuid, TaskRow*, IdHash> rows_;
  std::vector<TaskRow*> order_;
};

}  // namespace veltovoice
