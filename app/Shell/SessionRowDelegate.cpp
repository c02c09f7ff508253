#include "app/Shell/SessionRowDelegate.h"

#include <algorithm>
#include <cmath>

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Shell/SessionListModel.h"

namespace veltovoice {
namespace {

constexpr int kPaddingX = 12;
constexpr int kPaddingY = 10;
constexpr int kLineSpacing = 5;
constexpr int kItemSpacing = 6;
constexpr int kTitlePixels = 11;
constexpr int kDetailPixels = 10;
constexpr qreal kCornerRadius = 12;
constexpr double kSelectedFill = 0.12;
constexpr double kOutlineOpacity = 0.055;

QFont titleFont(const QFont& base) {
  QFont font = base;
  font.setPixelSize(kTitlePixels);
  font.setWeight(QFont::Medium);
  return font;
}

QFont detailFont(const QFont& base) {
  QFont font = base;
  font.setPixelSize(kDetailPixels);
  return font;
}

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

// A title keeps to one line: line breaks read as spaces.
QString oneLine(QString text) {
  for (QChar breaking : {QChar(u'\n'), QChar(u'\r'), QChar(QChar::LineSeparator),
                         QChar(QChar::ParagraphSeparator)}) {
    text.replace(breaking, QLatin1Char(' '));
  }
  return text;
}

}  // namespace

struct SessionRowDelegate::Layout {
  QRect box;
  QRect symbol;
  QRect title;
  QRect detail;
  QString detailText;  // elided to the room of the row
  QRect missing;
};

SessionRowDelegate::SessionRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

SessionRowDelegate::Layout SessionRowDelegate::layOut(const QStyleOptionViewItem& option,
                                                      const QModelIndex& index) const {
  const QFontMetrics title(titleFont(option.font));
  const QFontMetrics detail(detailFont(option.font));
  Layout layout;
  layout.box = option.rect.adjusted(0, 0, 0, -kRowGap);
  const QRect content = layout.box.adjusted(kPaddingX, kPaddingY, -kPaddingX, -kPaddingY);

  int x = content.left();
  const int titleHeight = title.height();
  if (!index.data(SessionListModel::SymbolRole).toString().isEmpty()) {
    const int side = title.ascent();
    layout.symbol = QRect(x, content.top() + (titleHeight - side) / 2, side, side);
    x += side + kItemSpacing;
  }
  layout.title = QRect(x, content.top(), content.right() - x + 1, titleHeight);

  const int detailTop = content.top() + titleHeight + kLineSpacing;
  const bool missing = index.data(SessionListModel::MissingRecordingRole).toBool();
  const int missingSide = detail.ascent();
  const int room = std::max(0, content.width() - (missing ? missingSide + kItemSpacing : 0));
  // Elided once, here, against the room the row has; the rectangle is then as wide as what is
  // drawn, rounded up, since an integer advance can fall short of the text's real width.
  layout.detailText =
      detail.elidedText(index.data(SessionListModel::DetailRole).toString(), Qt::ElideRight, room);
  const int detailWidth = std::min(
      static_cast<int>(std::ceil(QFontMetricsF(detailFont(option.font)).horizontalAdvance(layout.detailText))),
      room);
  layout.detail = QRect(content.left(), detailTop, detailWidth, detail.height());
  if (missing) {
    layout.missing = QRect(layout.detail.right() + 1 + kItemSpacing,
                           detailTop + (detail.height() - missingSide) / 2, missingSide, missingSide);
  }
  return layout;
}

QRect SessionRowDelegate::missingRecordingRect(const QStyleOptionViewItem& option,
                                               const QModelIndex& index) const {
  return layOut(option, index).missing;
}

void SessionRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  const Layout layout = layOut(option, index);
  const bool selected = index.data(SessionListModel::SelectedRole).toBool();
  const bool live = index.data(SessionListModel::LiveRole).toBool();

  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(layout.box).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
  painter->fillPath(shape, selected ? withAlpha(VeltoToolsDesign::accent(), kSelectedFill)
                                    : VeltoToolsDesign::surface());
  painter->setPen(QPen(selected ? VeltoToolsDesign::accent()
                                : withAlpha(VeltoToolsDesign::primary(), kOutlineOpacity),
                       1));
  painter->drawPath(shape);

  if (!layout.symbol.isNull()) {
    painter->save();
    if (index.data(SessionListModel::PulsingRole).toBool()) painter->setOpacity(pulseOpacity_);
    Symbols::icon(index.data(SessionListModel::SymbolRole).toString(), VeltoToolsDesign::accent())
        .paint(painter, layout.symbol);
    painter->restore();
  }

  const QFont title = titleFont(option.font);
  painter->setFont(title);
  painter->setPen(VeltoToolsDesign::primary());
  const QString titleText = QFontMetrics(title).elidedText(
      oneLine(index.data(Qt::DisplayRole).toString()), Qt::ElideRight, layout.title.width());
  painter->drawText(layout.title, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, titleText);

  const QFont detail = detailFont(option.font);
  painter->setFont(detail);
  painter->setPen(live ? VeltoToolsDesign::accent() : VeltoToolsDesign::muted());
  painter->drawText(layout.detail, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, layout.detailText);
  if (!layout.missing.isNull()) {
    Symbols::icon(QStringLiteral("speaker.slash"), VeltoToolsDesign::muted()).paint(painter, layout.missing);
  }
  painter->restore();
}

QSize SessionRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  const int height = kPaddingY + QFontMetrics(titleFont(option.font)).height() + kLineSpacing +
                     QFontMetrics(detailFont(option.font)).height() + kPaddingY + kRowGap;
  // No width of its own: the list gives every row the width of its viewport.
  return QSize(0, height);
}

bool SessionRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
  const QRect missing = layOut(option, index).missing;
  if (!missing.isNull() && missing.contains(event->pos())) {
    QToolTip::showText(event->globalPos(), QStringLiteral("録音を取り込んでいません"), view->viewport(), missing);
  } else {
    QToolTip::hideText();
  }
  return true;
}

}  // namespace veltovoice
