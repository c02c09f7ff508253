#pragma once

#include <functional>

#include <QString>
#include <QUuid>
#include <QWidget>

#include "app/Model/TaskItem.h"

class QAbstractButton;
class QKeyEvent;
class QLabel;
class QMenu;
class QPlainTextEdit;

namespace veltovoice {

class LiveModel;

// One line of a conversation's task outline: indentation for its depth, a disclosure chevron when
// the task has children, the done toggle, the title in a field that grows over as many lines as it
// needs, and a meta line with assignee, due text and the task's time in the recording, which plays
// the recording from there. The row edits the tree through the model's task operations: keys in the
// title field (Tab, Shift-Tab, Ctrl-Up, Ctrl-Down, Return), a context menu, and drags of the task
// onto other rows. It keeps interface state only (the title being typed, the drop feedback, its
// height); the tasks panel makes it, hands it the model's newest copy of its task and reuses it
// while the task stays listed. GUI thread only.
//
// Title field keys: Tab indents and Shift-Tab outdents; Ctrl-Up and Ctrl-Down move the task among
// its siblings (other modifiers do not matter); Return without Shift or Alt commits and adds a task
// below. Each of them commits the title first; after a move the field takes the focus back on the
// next turn of the event loop. Everything else is the field's own, Shift-Return and Alt-Return
// included.
class TaskRow : public QWidget {
  Q_OBJECT

 public:
  // Where a task dropped on the row would go: nowhere (no drag over the row), just before this
  // task, or as this task's last child.
  enum class DropMode { none, before, into };

  using Action = std::function<void()>;

  // Leading indentation per level of depth, in device-independent pixels.
  static constexpr int kIndentPerLevel = 16;
  // A drop above this share of the row's height lands before the task, below it inside.
  static constexpr double kBeforeShare = 0.4;

  // `live` is borrowed and must outlive the row. `onSeek` (may be empty: the time link is then
  // disabled) plays the recording from the task's time; `onAddBelow` adds a task after this one.
  // With `autoFocus` the title field takes the focus when the row is first shown.
  TaskRow(LiveModel& live, const QUuid& sessionID, const TaskItem& task, int depth, bool hasChildren,
          bool autoFocus, Action onSeek, Action onAddBelow, QWidget* parent = nullptr);
  ~TaskRow() override;

  // Shows the model's newest copy of the task. A changed title replaces the field's text only
  // while the field does not have the focus, so that an edit in progress is never overwritten.
  void setTask(const TaskItem& task, int depth, bool hasChildren, Action onSeek);

  // Gives the title field the focus now when the row is shown, else when it is first shown.
  void takeFocus();
  // The row is leaving the outline: from now on it commits nothing itself. A title being typed
  // in it still becomes the task's title on the next turn of the event loop (a cleared one
  // deletes nothing).
  void retire();

  const QUuid& sessionID() const { return sessionID_; }
  const TaskItem& task() const { return task_; }
  int depth() const { return depth_; }
  bool hasChildren() const { return hasChildren_; }
  // The title text being edited (line breaks as "\n").
  QString title() const;
  // Whether the title field has the keyboard focus.
  bool focused() const;
  // The row's last laid-out height; 30 until the first layout.
  int rowHeight() const { return height_; }
  DropMode dropMode() const { return dropMode_; }

  // Takes the title: trimmed of white space and line breaks at both ends, a changed text becomes
  // the task's title and marks it manual; a text that trims to nothing deletes a task without
  // children and gives a parent its old title back. Unchanged text changes nothing.
  void commit();
  // Gives the title field the focus on the next turn of the event loop.
  void refocus();
  // The context menu made from the model's current state; the caller owns it.
  QMenu* menu();

  // The parts, for the panel's tests and for people reading them.
  QPlainTextEdit* titleField() const;
  QAbstractButton* chevron() const { return chevron_; }
  QAbstractButton* doneToggle() const { return doneToggle_; }
  // The meta line; hidden when the task has no assignee, no due text and no time.
  QWidget* metaLine() const { return metaLine_; }
  // The assignee and due text, joined by " · "; hidden when both are empty.
  QLabel* metaText() const { return metaText_; }
  // The time link; hidden when the task has no time.
  QAbstractButton* timeLink() const { return timeLink_; }

  // The text of the meta line for `task`: the non-empty ones of assignee and due, joined by " · ".
  static QString metaTextFor(const TaskItem& task);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // Handles the keys of the title field; false leaves the key to the field.
  bool titleKey(QKeyEvent* event);
  DropMode modeAt(int y) const;
  void setDropMode(DropMode mode);
  void showTask();
  void showMeta();

  LiveModel& live_;
  const QUuid sessionID_;
  TaskItem task_;
  int depth_ = 0;
  bool hasChildren_ = false;
  bool autoFocus_ = false;
  bool shown_ = false;
  bool retired_ = false;
  Action onSeek_;
  Action onAddBelow_;
  int height_ = 30;
  DropMode dropMode_ = DropMode::none;
  QPoint pressedAt_;
  bool pressed_ = false;

  QWidget* indent_;
  QAbstractButton* chevron_;
  QAbstractButton* doneToggle_;
  QPlainTextEdit* field_;
  QWidget* metaLine_;
  QLabel* metaText_;
  QAbstractButton* timeLink_;
};

}  // namespace veltovoice
