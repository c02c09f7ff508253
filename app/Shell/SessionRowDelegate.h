#pragma once

#include <QStyledItemDelegate>

namespace veltovoice {

// Paints one conversation row of the list from SessionListModel's roles: a rounded box (accent
// tint and outline when selected), the live symbol and the title on one line, the second line in
// small type (accent while live, muted otherwise) and, for a conversation without a recording, the
// "speaker.slash" symbol whose tool tip says so. GUI thread only.
class SessionRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // Space between two rows.
  static constexpr int kRowGap = 6;

  explicit SessionRowDelegate(QObject* parent = nullptr);

  // The opacity the live symbol is drawn with while it pulses.
  void setPulseOpacity(double opacity) { pulseOpacity_ = opacity; }

  // Where the "speaker.slash" symbol of the row at `option.rect` stands; empty when the row has
  // none.
  QRect missingRecordingRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

 private:
  struct Layout;
  Layout layOut(const QStyleOptionViewItem& option, const QModelIndex& index) const;

  double pulseOpacity_ = 1;
};

}  // namespace veltovoice
