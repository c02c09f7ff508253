#include "app/Shell/WrappedText.h"

#include <algorithm>
#include <cmath>

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

namespace veltovoice {
namespace {

// The widest a text asks to be before a layout gives it a width.
constexpr int kWidestHint = 280;

// Lines of `text` laid out at `width`; the layout keeps them for drawing.
void layOut(QTextLayout& layout, qreal width) {
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal y = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, y));
    y += line.height();
  }
  layout.endLayout();
}

// A line feed in the text starts a new line, as in any label (QTextLayout wants U+2028).
QString shown(const QString& text) {
  QString one = text;
  one.replace(QLatin1Char('\n'), QChar::LineSeparator);
  return one;
}

}  // namespace

WrappedText::WrappedText(QWidget* parent) : QWidget(parent) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

void WrappedText::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  updateGeometry();
  update();
}

void WrappedText::setMaximumLines(int lines) {
  if (lines == maximumLines_) return;
  maximumLines_ = std::max(0, lines);
  updateGeometry();
  update();
}

void WrappedText::setColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  update();
}

int WrappedText::lineCountFor(int width) const {
  if (text_.isEmpty()) return 0;
  QTextLayout layout(shown(text_), font());
  layOut(layout, std::max(1, width));
  return layout.lineCount();
}

int WrappedText::shownLinesFor(int width) const {
  const int lines = lineCountFor(width);
  return maximumLines_ > 0 ? std::min(lines, maximumLines_) : lines;
}

bool WrappedText::isCut() const { return shownLinesFor(width()) < lineCountFor(width()); }

int WrappedText::heightForWidth(int width) const {
  const int lines = shownLinesFor(width);
  return static_cast<int>(std::ceil(lines * QFontMetricsF(font()).lineSpacing()));
}

QSize WrappedText::sizeHint() const {
  const int width = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text_)));
  const int hinted = std::min(width, kWidestHint);
  return QSize(hinted, heightForWidth(hinted));
}

QSize WrappedText::minimumSizeHint() const { return QSize(0, heightForWidth(width())); }

void WrappedText::paintEvent(QPaintEvent*) {
  if (text_.isEmpty()) return;
  QPainter painter(this);
  painter.setPen(color_.isValid() ? color_ : palette().color(QPalette::WindowText));
  const QString content = shown(text_);
  QTextLayout layout(content, font());
  layOut(layout, width());
  const int lines = shownLinesFor(width());
  for (int i = 0; i < lines; ++i) {
    const QTextLine line = layout.lineAt(i);
    const bool lastShown = i == lines - 1 && lines < layout.lineCount();
    if (!lastShown) {
      line.draw(&painter, QPointF(0, 0));
      continue;
    }
    // The rest of the text, cut to the line with "…".
    const QString rest = content.mid(line.textStart());
    const QString elided = QFontMetricsF(font()).elidedText(rest.simplified(), Qt::ElideRight, width());
    painter.drawText(QPointF(0, line.y() + line.ascent()), elided);
  }
}

void WrappedText::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) updateGeometry();
  QWidget::changeEvent(event);
}

}  // namespace veltovoice
