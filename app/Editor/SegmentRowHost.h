#pragma once

#include <optional>

#include <QWidget>

#include "app/Editor/SegmentRow.h"

namespace veltovoice {

class SegmentTextEdit;

// Shows one SegmentRow and, while the sentence is edited, a SegmentTextEdit laid exactly over the
// row's painted text. Clicks go to the row's regions: the check box and the time to the row's
// functions, the speaker label opens the speaker menu, the text opens the editor with the caret
// under the pointer; the context menu is the row's. A row whose sentence has left the model ignores
// clicks. Its height follows the row (and the editor's text while editing). GUI thread only.
class SegmentRowHost : public QWidget {
  Q_OBJECT

 public:
  explicit SegmentRowHost(QWidget* parent = nullptr);

  // Shows `row`. An open editor takes the row's callbacks and, unless it is being edited, its text;
  // a focus offset opens the editor and asks it for the focus at that offset.
  void setRow(SegmentRow row);
  const std::optional<SegmentRow>& row() const { return row_; }

  // The editor while it is open, else null.
  SegmentTextEdit* editor() const;
  // Opens the editor over the text; with an offset it takes the focus there on a later turn of the
  // event loop. REQUIRES: a row is shown.
  void openEditor(std::optional<int> offset);

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The row as painted now: with the editor's text while it is open.
  SegmentRow shownRow() const;
  void placeEditor();
  void closeEditor();
  void followHeight();

  std::optional<SegmentRow> row_;
  SegmentTextEdit* editor_ = nullptr;  // made on first use, hidden while closed
};

}  // namespace veltovoice
