#pragma once

#include <functional>

#include <QStyledItemDelegate>

#include "app/Editor/SegmentRow.h"

class QAbstractItemView;

namespace veltovoice {

class TranscriptRowsModel;

// Paints the rows of a TranscriptRowsModel: a sentence as its SegmentRow below the topic heading
// that starts there, the live line ("…" and the recogniser's text, muted) and the empty text, each
// followed by the gap between rows. Rows are measured lazily: a row keeps an estimate from the
// length of its text until the view asks for its exact height (when it comes into view); the
// exact height is kept with the row until the row changes. Its editor is a TranscriptRowEditor.
// GUI thread only.
class TranscriptRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  static constexpr int kRowSpacing = 6;      // between two rows
  static constexpr int kHeadingSpacing = 4;  // between a heading and its sentence

  // Builds the SegmentRow of sentence row `row` as the view shows it now.
  using RowMaker = std::function<SegmentRow(int row)>;

  // `rows` and `view` are borrowed and must outlive the delegate.
  TranscriptRowDelegate(const TranscriptRowsModel& rows, const QAbstractItemView& view, RowMaker makeRow,
                        QObject* parent = nullptr);

  // The width rows are laid out at.
  int rowWidth() const;

  // The exact height of `row` at rowWidth(), the gap below included; kept for the next calls.
  int measure(int row) const;
  // Whether the height kept for `row` is exact at rowWidth().
  bool measured(int row) const;
  // An estimate of measure() from the length of the text, without laying it out.
  int estimate(int row) const;

  // Geometry of a row whose item occupies `itemRect`: the row without the gap below, its heading
  // (when it has one) and its sentence part.
  static QRect rowRect(const QRect& itemRect);
  static QRect headingRect(const QRect& rowRect);
  static QRect sentenceRect(const QRect& rowRect, bool withHeading);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  // The view feeds its editor itself.
  void setEditorData(QWidget*, const QModelIndex&) const override {}
  void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

 protected:
  // Editors end by themselves (focus, Escape); nothing of the item view's own editing applies.
  bool eventFilter(QObject*, QEvent*) override { return false; }

 private:
  int trailingHeight(int row, int width) const;
  void paintTrailing(QPainter& painter, const QRect& rect, int row) const;

  const TranscriptRowsModel& rows_;
  const QAbstractItemView& view_;
  RowMaker makeRow_;
};

}  // namespace veltovoice
