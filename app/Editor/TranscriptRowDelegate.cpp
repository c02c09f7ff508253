#include "app/Editor/TranscriptRowDelegate.h"

#include <algorithm>
#include <cmath>

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QPainter>

#include "app/Editor/SegmentTextEdit.h"
#include "app/Editor/TopicHeader.h"
#include "app/Editor/TranscriptRowEditor.h"
#include "app/Editor/TranscriptRowsModel.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"

namespace veltovoice {
namespace {

// The live line: a clear spacer where a row has its speaker bar, then "…" in a column of its own.
constexpr int kLiveTop = 6;
constexpr int kLiveSpacer = 3;
constexpr int kLiveSpacing = 10;
constexpr int kLiveMarkWidth = 48;
constexpr int kLiveTextLeft = kLiveSpacer + kLiveSpacing + kLiveMarkWidth + kLiveSpacing;

constexpr int kEmptyPadding = 24;
constexpr int kEmptyPixels = 13;

// What an estimate takes a sentence row to have beside its text: the columns left of the text, the
// padding right of it and the pencil of an edited sentence; the row's own minimum height.
constexpr int kEstimatedTextLeft = 189;
constexpr int kEstimatedTrailing = 4;
constexpr int kEstimatedEditedWidth = 20;
constexpr int kEstimatedMinimum = 22;
constexpr int kRowPaddingY = 2;

QFont emptyFont() { return VeltoToolsDesign::systemFont(kEmptyPixels); }

int sentenceLineSpacing() {
  static const int spacing = QFontMetrics(SegmentTextEdit::sentenceFont()).lineSpacing();
  return spacing;
}

// Lines of `text` at `width`, counting wide characters as one em and the rest as a little over
// half of one.
int estimatedLines(const QString& text, int width, int em) {
  const double available = std::max(width, SegmentTextEdit::kMinimumWidth);
  int lines = 0;
  double advance = 0;
  for (const QChar character : text) {
    if (character == QLatin1Char('\n')) {
      lines += std::max(1, static_cast<int>(std::ceil(advance / available)));
      advance = 0;
      continue;
    }
    advance += character.unicode() >= 0x2E80 ? em : 0.55 * em;
  }
  return lines + std::max(1, static_cast<int>(std::ceil(advance / available)));
}

}  // namespace

TranscriptRowDelegate::TranscriptRowDelegate(const TranscriptRowsModel& rows, const QAbstractItemView& view,
                                             RowMaker makeRow, QObject* parent)
    : QStyledItemDelegate(parent), rows_(rows), view_(view), makeRow_(std::move(makeRow)) {}

int TranscriptRowDelegate::rowWidth() const { return view_.viewport()->width(); }

QRect TranscriptRowDelegate::rowRect(const QRect& itemRect) { return itemRect.adjusted(0, 0, 0, -kRowSpacing); }

QRect TranscriptRowDelegate::headingRect(const QRect& rowRect) {
  return QRect(rowRect.left(), rowRect.top(), rowRect.width(), TopicHeader::headerHeight());
}

QRect TranscriptRowDelegate::sentenceRect(const QRect& rowRect, bool withHeading) {
  if (!withHeading) return rowRect;
  return rowRect.adjusted(0, TopicHeader::headerHeight() + kHeadingSpacing, 0, 0);
}

bool TranscriptRowDelegate::measured(int row) const { return rows_.cachedHeight(row, rowWidth()).has_value(); }

int TranscriptRowDelegate::measure(int row) const {
  const int width = rowWidth();
  if (const std::optional<int> kept = rows_.cachedHeight(row, width)) return *kept;
  int height = 0;
  if (rows_.kind(row) == TranscriptRowsModel::Kind::sentence) {
    const int heading = rows_.heading(row) ? TopicHeader::headerHeight() + kHeadingSpacing : 0;
    height = heading + makeRow_(row).heightForWidth(width) + kRowSpacing;
  } else {
    height = trailingHeight(row, width);
  }
  rows_.setCachedHeight(row, width, height);
  return height;
}

int TranscriptRowDelegate::estimate(int row) const {
  const int width = rowWidth();
  if (rows_.kind(row) != TranscriptRowsModel::Kind::sentence) return measure(row);
  if (const std::optional<int> kept = rows_.cachedEstimate(row, width)) return *kept;
  const LiveSegment& segment = rows_.segment(row);
  const int textWidth = width - kEstimatedTextLeft - kEstimatedTrailing - (segment.edited ? kEstimatedEditedWidth : 0);
  const int em = SegmentTextEdit::sentenceFont().pixelSize();
  const int lines = estimatedLines(QString::fromStdString(segment.text), textWidth, em);
  const int text = lines * sentenceLineSpacing() + 2 * SegmentTextEdit::kVerticalInset;
  const int gap = rows_.speakerChanged(row) ? SegmentRow::kSpeakerGap : 0;
  const int heading = rows_.heading(row) ? TopicHeader::headerHeight() + kHeadingSpacing : 0;
  const int height = heading + gap + kRowPaddingY + std::max(kEstimatedMinimum, text) + kRowPaddingY + kRowSpacing;
  rows_.setCachedEstimate(row, width, height);
  return height;
}

QSize TranscriptRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
  const int row = index.row();
  const std::optional<int> kept = rows_.cachedHeight(row, rowWidth());
  return QSize(rowWidth(), kept ? *kept : estimate(row));
}

int TranscriptRowDelegate::trailingHeight(int, int width) const {
  if (rows_.kind(rows_.sentenceCount()) == TranscriptRowsModel::Kind::liveLine) {
    const int text = SegmentTextEdit::textHeight(rows_.liveText(), SegmentTextEdit::sentenceFont(),
                                                 width - kLiveTextLeft);
    return kLiveTop + text + kRowSpacing;
  }
  return kEmptyPadding + QFontMetrics(emptyFont()).height() + kEmptyPadding + kRowSpacing;
}

void TranscriptRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
  const int row = index.row();
  const QRect rect = rowRect(option.rect);
  if (rows_.kind(row) != TranscriptRowsModel::Kind::sentence) {
    paintTrailing(*painter, rect, row);
    return;
  }
  const auto& heading = rows_.heading(row);
  if (heading) {
    const LiveSegment& segment = rows_.segment(row);
    const QString time = segment.start ? QString::fromStdString(clock(*segment.start)) : QString();
    TopicHeader::paint(*painter, headingRect(rect), heading->title, time);
  }
  // An open editor paints the sentence itself.
  if (view_.indexWidget(index)) return;
  makeRow_(row).paint(*painter, sentenceRect(rect, heading.has_value()));
}

void TranscriptRowDelegate::paintTrailing(QPainter& painter, const QRect& rect, int row) const {
  painter.save();
  if (rows_.kind(row) == TranscriptRowsModel::Kind::liveLine) {
    const QFont font = SegmentTextEdit::sentenceFont();
    const QPoint top(rect.left(), rect.top() + kLiveTop);
    painter.setFont(font);
    painter.setPen(VeltoToolsDesign::muted());
    const QRect mark(top.x() + kLiveSpacer + kLiveSpacing, top.y() + SegmentTextEdit::kVerticalInset, kLiveMarkWidth,
                     QFontMetrics(font).height());
    painter.drawText(mark, Qt::AlignLeft | Qt::AlignTop, QStringLiteral("…"));
    SegmentTextEdit::paintText(painter, rows_.liveText(), font, QPoint(top.x() + kLiveTextLeft, top.y()),
                               rect.width() - kLiveTextLeft, VeltoToolsDesign::muted());
  } else {
    painter.setFont(emptyFont());
    painter.setPen(VeltoToolsDesign::muted());
    painter.drawText(rect.adjusted(0, kEmptyPadding, 0, -kEmptyPadding), Qt::AlignLeft | Qt::AlignVCenter,
                     rows_.emptyText());
  }
  painter.restore();
}

QWidget* TranscriptRowDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
  return new TranscriptRowEditor(parent);
}

void TranscriptRowDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                                 const QModelIndex& index) const {
  auto* rowEditor = static_cast<TranscriptRowEditor*>(editor);
  const int row = index.row();
  const bool withHeading = row < rows_.sentenceCount() && rows_.heading(row).has_value();
  rowEditor->place(rowRect(option.rect), withHeading);
}

}  // namespace veltovoice
