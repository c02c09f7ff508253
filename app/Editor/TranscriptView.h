#pragma once

#include <functional>
#include <optional>
#include <set>

#include <QAbstractItemView>
#include <QPersistentModelIndex>
#include <QPoint>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include "app/Editor/SegmentRow.h"
#include "app/Editor/SegmentTextEdit.h"

class QLabel;
class QListView;
class QPushButton;
class QVBoxLayout;

namespace veltovoice {

class AudioPlayback;
class LiveModel;
class MemoBox;
class SpeakerNamesRow;
class TranscriptRowDelegate;
class TranscriptRowEditor;
class TranscriptRowsModel;

// The editor of the selected conversation's transcript, top to bottom 12 px apart: the speaker
// name fields (while the conversation has speakers), the memo box, the selection bar or else the
// undo banner of this conversation's last deletion, and the list of sentence rows with the live
// line or the empty text. While the conversation is recorded it keeps the list at its end; while
// its recording plays it highlights and follows the sentence played; neither moves the list while
// a sentence is edited.
//
// It holds interface state only (the sentence edited, a pending request for the caret, the
// selection with its click anchor and drag); every change goes through the conversation model.
// Sentences are selected by click, Shift-click (a range from the anchor) and by dragging over the
// check boxes. One editor is open at a time. GUI thread only.
class TranscriptView : public QWidget {
  Q_OBJECT

 public:
  // A request to put the caret into a sentence's editor at `offset` (UTF-16 units; a large number
  // means the end). Every request has a new token, so that two requests always differ.
  struct FocusRequest {
    QUuid id;
    int offset = 0;
    QUuid token;
    bool operator==(const FocusRequest&) const = default;
  };

  // Shows the model's selected conversation, following the selection. `model` and `player` are
  // borrowed and must outlive the view.
  TranscriptView(LiveModel& model, AudioPlayback& player, QWidget* parent = nullptr);
  ~TranscriptView() override;

  // The conversation shown, or nothing.
  const std::optional<QUuid>& sessionID() const { return sessionID_; }
  // Whether the conversation shown is the one being recorded.
  bool isLive() const;
  // The sentence highlighted as playing: the last one, in list order, that starts at most 0.2 s
  // after the player's position; nothing while recording, without a recording loaded or at 0.
  const std::optional<QUuid>& playingID() const { return playingID_; }

  // Interface state.
  const std::set<QUuid>& selected() const { return selected_; }
  const std::optional<QUuid>& editing() const { return editing_; }
  const std::optional<FocusRequest>& request() const { return request_; }
  const std::optional<QUuid>& lastClicked() const { return lastClicked_; }

  // Parts, for the window and for tests.
  QListView* list() const;
  TranscriptRowsModel* rows() const { return rows_; }
  QWidget* selectionBar() const { return selectionBar_; }
  QWidget* undoBanner() const { return undoBanner_; }
  MemoBox* memoBox() const { return memoBox_; }
  // The speaker name fields, or null while the conversation has no speakers.
  SpeakerNamesRow* speakerNames() const;
  // The open editor of a sentence, or null.
  SegmentTextEdit* sentenceEditor() const;
  // The open row editor, or null.
  TranscriptRowEditor* rowEditor() const;

  // The SegmentRow of sentence row `row` as shown now. REQUIRES: row < sentence count.
  SegmentRow rowAt(int row) const;
  // Where the sentence part of row `row` lies in the list's viewport; empty for other rows.
  QRect sentenceRect(int row) const;
  // Where the heading of row `row` lies in the list's viewport; empty without one.
  QRect headingRect(int row) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  class List;

  // Building.
  QWidget* makeSelectionBar();
  QWidget* makeUndoBanner();
  void showSession(const std::optional<QUuid>& id);
  void rebuildSpeakerNames();
  void updateBars();

  // What the rows call.
  void check(const QUuid& id, bool shift);
  void dragTo(const QUuid& id, int fromY, int toY);
  void endDrag(const QUuid& id);
  void blur(const QUuid& id);
  void move(const QUuid& from, SegmentTextEdit::Move direction);
  void mergeBackward(const QUuid& id);
  void focused(const QUuid& id);

  // Following the models.
  void sessionChanged(const QUuid& id);
  void rowsChanged(int first, int last);
  void liveTextChanged();
  void followPlayback();
  void scrollRequested();
  std::optional<QUuid> computePlayingID() const;
  void selectionChanged();
  void forgetLeftSentences();

  // The editor.
  void openEditor(int row);
  void closeEditor();
  void closeEditorWhenIdle();
  void refreshEditor();
  void followRequest();

  // Scrolling, with rows measured as they come into view.
  void scrollToRow(int row, QAbstractItemView::ScrollHint hint);
  void scrollToEnd();
  void scrollWithMeasuredRows(const std::function<void()>& scroll);
  bool measureVisibleRows();

  // Mouse on the list.
  bool viewportEvent(QEvent* event);
  bool mousePressed(QMouseEvent* event);
  void mouseMoved(const QPoint& point);
  void mouseReleased();
  bool contextMenu(QContextMenuEvent* event);
  bool toolTip(QHelpEvent* event);
  std::optional<int> sentenceRowAt(const QPoint& point) const;
  void editTopic(int row);


  LiveModel& live_;
  AudioPlayback& player_;
  std::optional<QUuid> sessionID_;
  bool appeared_ = false;

  // Interface state.
  std::optional<QUuid> editing_;
  std::optional<FocusRequest> request_;
  std::set<QUuid> selected_;
  std::optional<QUuid> lastClicked_;
  std::optional<QUuid> dragStart_;
  bool dragSelects_ = true;
  std::set<QUuid> dragBase_;
  std::optional<QUuid> playingID_;
  int shownSentences_ = 0;

  // A press on a check box, until it ends as a click or a drag.
  struct Press {
    QUuid id;
    int contentY = 0;  // in the list's content, so that scrolling during a drag keeps it
    QPoint viewportPoint;
    bool shift = false;
    bool dragging = false;
  };
  std::optional<Press> press_;
  QPoint lastDragPoint_;

  // Parts.
  QVBoxLayout* stack_;
  QPointer<SpeakerNamesRow> speakerNames_;
  MemoBox* memoBox_;
  QWidget* selectionBar_;
  QLabel* selectionLabel_;
  QWidget* undoBanner_;
  QLabel* undoLabel_;
  List* list_ = nullptr;
  TranscriptRowsModel* rows_ = nullptr;
  TranscriptRowDelegate* delegate_ = nullptr;
  QPersistentModelIndex editorIndex_;
  QObject* textKeysGuard_ = nullptr;
  int autoScrollTimer_ = 0;
  bool dying_ = false;
  bool scrolling_ = false;
};

}  // namespace veltovoice
