#pragma once

#include <QUuid>
#include <QWidget>

class QAbstractButton;
class QPlainTextEdit;

namespace veltovoice {

class LiveModel;

// The participants-and-terms memo of one conversation, above the transcript: a toggle
// ("参加者・用語メモ", with a one-line preview while folded) and, unfolded, a 76 px editor on the
// raised surface. Every change of the editor's text that differs from the stored memo goes to the
// model as the whole text; showing another conversation reloads the text without writing it.
// Folding only folds. GUI thread only.
class MemoBox : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the box. Starts folded.
  MemoBox(LiveModel& live, const QUuid& sessionID, QWidget* parent = nullptr);

  // Shows the memo of conversation `sessionID`; the folding stays as it is.
  void setSession(const QUuid& sessionID);
  const QUuid& sessionID() const { return sessionID_; }

  bool isOpen() const { return open_; }
  void setOpen(bool open);

  QAbstractButton* toggle() const { return toggle_; }
  QPlainTextEdit* editor() const { return editor_; }
  // The preview of the folded box: the memo with line feeds as U+3000; empty while open or without
  // a memo. The toggle elides it to one line.
  QString preview() const;

  // The two-line example shown in an empty editor.
  static QString placeholder();

 private:
  QString storedMemo() const;
  void reload();
  void textEdited();

  LiveModel& live_;
  QUuid sessionID_;
  bool open_ = false;
  QAbstractButton* toggle_;
  QWidget* surface_;
  QPlainTextEdit* editor_;
};

}  // namespace veltovoice
