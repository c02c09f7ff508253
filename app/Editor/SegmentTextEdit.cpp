#include "app/Editor/SegmentTextEdit.h"

#include <algorithm>
#include <cmath>

#include <QFocusEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QStyleHints>
#include <QTimerEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice {
namespace {

constexpr int kSentenceFontPixels = 15;
constexpr int kCaretWidth = 2;

// One paragraph laid out the way the editor's document lays out a block: lines at the full width,
// leading included, stacked from 0. Returns the paragraph's height.
qreal layoutParagraph(QTextLayout& layout, qreal width) {
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.setCacheEnabled(true);
  layout.beginLayout();
  qreal height = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLeadingIncluded(true);
    line.setLineWidth(width);
    line.setPosition(QPointF(0, height));
    height += line.height();
    if (line.leading() < 0) height += std::ceil(line.leading());
  }
  layout.endLayout();
  return layout.boundingRect().bottom();
}

qreal layoutWidth(int width) {
  return std::max(width < 0 ? SegmentTextEdit::kDefaultWidth : width, SegmentTextEdit::kMinimumWidth);
}

bool plainKey(const QKeyEvent* event) {
  return (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// Focus that goes to a context menu or to another window comes back to the editor by itself.
bool temporaryFocusLoss(Qt::FocusReason reason) {
  return reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason;
}

}  // namespace

SegmentTextEdit::SegmentTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName(QStringLiteral("segmentTextEdit"));
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setUndoRedoEnabled(true);
  setTabChangesFocus(false);
  document()->setDocumentMargin(0);
  setViewportMargins(0, kVerticalInset, 0, kVerticalInset);
  setFont(sentenceFont());

  // Transparent over the row, white glyphs. Qt draws its caret by inverting what lies below it, so
  // the editor hides that caret and draws its own in the accent colour.
  QPalette colours = palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    colours.setColor(group, QPalette::Base, Qt::transparent);
    colours.setColor(group, QPalette::Window, Qt::transparent);
    colours.setColor(group, QPalette::Text, VeltoToolsDesign::primary());
  }
  setPalette(colours);
  setAutoFillBackground(false);
  viewport()->setAutoFillBackground(false);
  setCursorWidth(0);
  connect(this, &QPlainTextEdit::cursorPositionChanged, this, &SegmentTextEdit::showCaret);

  QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);

  connect(this, &QPlainTextEdit::textChanged, this, &SegmentTextEdit::textEdited);
}

void SegmentTextEdit::setModelText(const QString& text) {
  if (hasFocus() || text == toPlainText()) return;
  settingText_ = true;
  setPlainText(text);
  reportedText_ = text;
  settingText_ = false;
  updateGeometry();
}

void SegmentTextEdit::requestFocus(int offset) {
  if (hasFocus()) return;
  QTimer::singleShot(0, this, [this, offset] {
    if (!hasFocus()) setFocus(Qt::OtherFocusReason);
    QTextCursor caret = textCursor();
    caret.setPosition(std::clamp(offset, 0, document()->characterCount() - 1));
    setTextCursor(caret);
    ensureCursorVisible();
  });
}

int SegmentTextEdit::heightForWidth(int width) const {
  // At the editor's own width its document is laid out already: read that instead of laying out
  // the text again on every keystroke.
  const int own = viewport()->width();
  if (isVisible() && own >= kMinimumWidth && width == own) {
    qreal used = 0;
    bool laidOut = true;
    for (QTextBlock block = document()->firstBlock(); block.isValid() && laidOut; block = block.next()) {
      const QTextLayout* layout = block.layout();
      laidOut = layout && layout->lineCount() > 0;
      if (laidOut) used += layout->boundingRect().bottom();
    }
    if (laidOut) {
      const qreal line = QFontMetricsF(font()).lineSpacing();
      return static_cast<int>(std::ceil(std::max(used, line))) + 2 * kVerticalInset;
    }
  }
  return textHeight(toPlainText(), font(), width);
}

QSize SegmentTextEdit::sizeHint() const {
  return QSize(kDefaultWidth, heightForWidth(width() > 0 ? width() : -1));
}

QSize SegmentTextEdit::minimumSizeHint() const {
  return QSize(kMinimumWidth, heightForWidth(width() > 0 ? width() : -1));
}

QFont SegmentTextEdit::sentenceFont() { return VeltoToolsDesign::systemFont(kSentenceFontPixels); }

SegmentTextEdit::Layout::Layout(const QString& text, const QFont& font, int width) {
  const qreal w = layoutWidth(width);
  qreal used = 0;
  for (const QStringView paragraph : QStringView(text).split(u'\n')) {
    auto layout = std::make_unique<QTextLayout>(paragraph.toString(), font);
    tops_.push_back(used);
    used += layoutParagraph(*layout, w);
    paragraphs_.push_back(std::move(layout));
  }
  const qreal line = QFontMetricsF(font).lineSpacing();
  height_ = static_cast<int>(std::ceil(std::max(used, line))) + 2 * kVerticalInset;
}

SegmentTextEdit::Layout::~Layout() = default;
SegmentTextEdit::Layout::Layout(Layout&&) noexcept = default;
SegmentTextEdit::Layout& SegmentTextEdit::Layout::operator=(Layout&&) noexcept = default;

void SegmentTextEdit::Layout::draw(QPainter& painter, const QPoint& topLeft, const QColor& color) const {
  painter.save();
  painter.setPen(color);
  for (std::size_t i = 0; i < paragraphs_.size(); ++i) {
    paragraphs_[i]->draw(&painter, QPointF(topLeft.x(), topLeft.y() + kVerticalInset + tops_[i]));
  }
  painter.restore();
}

int SegmentTextEdit::textHeight(const QString& text, const QFont& font, int width) {
  return Layout(text, font, width).height();
}

void SegmentTextEdit::paintText(QPainter& painter, const QString& text, const QFont& font,
                                const QPoint& topLeft, int width, const QColor& color) {
  Layout(text, font, width).draw(painter, topLeft, color);
}

void SegmentTextEdit::keyPressEvent(QKeyEvent* event) {
  // While an input method composes, the arrows, Backspace and Escape edit its preedit text.
  if (composing_) {
    QPlainTextEdit::keyPressEvent(event);
    return;
  }
  const bool plain = plainKey(event);
  switch (event->key()) {
    case Qt::Key_Up:
      if (!plain || !caretOnFirstLine()) break;
      if (onMove) onMove(Move::previous);
      event->accept();
      return;
    case Qt::Key_Down:
      if (!plain || !caretOnLastLine()) break;
      if (onMove) onMove(Move::next);
      event->accept();
      return;
    case Qt::Key_Backspace:
      if (!plain || textCursor().hasSelection() || textCursor().position() != 0) break;
      if (onMergeBackward) onMergeBackward();
      event->accept();
      return;
    case Qt::Key_Escape:
      clearFocus();
      event->accept();
      return;
    default:
      break;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void SegmentTextEdit::inputMethodEvent(QInputMethodEvent* event) {
  composing_ = !event->preeditString().isEmpty();
  QPlainTextEdit::inputMethodEvent(event);
}

void SegmentTextEdit::focusInEvent(QFocusEvent* event) {
  QPlainTextEdit::focusInEvent(event);
  showCaret();
  if (editing_) return;
  editing_ = true;
  if (onFocus) onFocus();
}

void SegmentTextEdit::focusOutEvent(QFocusEvent* event) {
  QPlainTextEdit::focusOutEvent(event);
  blink_.stop();
  viewport()->update();
  if (!editing_ || temporaryFocusLoss(event->reason())) return;
  editing_ = false;
  composing_ = false;
  if (onBlur) onBlur();
}

bool SegmentTextEdit::canInsertFromMimeData(const QMimeData* source) const { return source->hasText(); }

void SegmentTextEdit::insertFromMimeData(const QMimeData* source) {
  // Only the plain text of what is pasted, with Windows and old Mac line ends made line feeds.
  QString text = source->text();
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  textCursor().insertText(text);
  ensureCursorVisible();
}

void SegmentTextEdit::resizeEvent(QResizeEvent* event) {
  QPlainTextEdit::resizeEvent(event);
  // The height always fits the text, so the first line stays at the top.
  verticalScrollBar()->setValue(0);
}

void SegmentTextEdit::paintEvent(QPaintEvent* event) {
  QPlainTextEdit::paintEvent(event);
  if (!hasFocus() || !caretOn_ || composing_) return;
  QPainter painter(viewport());
  QRect caret = cursorRect();
  caret.setWidth(kCaretWidth);
  painter.fillRect(caret, VeltoToolsDesign::accent());
}

void SegmentTextEdit::timerEvent(QTimerEvent* event) {
  if (event->timerId() != blink_.timerId()) {
    QPlainTextEdit::timerEvent(event);
    return;
  }
  caretOn_ = !caretOn_;
  viewport()->update(cursorRect().adjusted(0, 0, kCaretWidth, 0));
}

void SegmentTextEdit::showCaret() {
  caretOn_ = true;
  const int flashMs = QGuiApplication::styleHints()->cursorFlashTime();
  if (hasFocus() && flashMs > 0) {
    blink_.start(flashMs / 2, this);
  } else {
    blink_.stop();
  }
  viewport()->update();
}

bool SegmentTextEdit::caretOnFirstLine() const {
  const QTextCursor caret = textCursor();
  const QTextBlock block = caret.block();
  if (!block.isValid() || !block.layout()) return true;
  if (block != document()->firstBlock()) return false;
  const QTextLine line = block.layout()->lineForTextPosition(caret.positionInBlock());
  return !line.isValid() || line.lineNumber() == 0;
}

bool SegmentTextEdit::caretOnLastLine() const {
  const QTextCursor caret = textCursor();
  const QTextBlock block = caret.block();
  if (!block.isValid() || !block.layout()) return true;
  if (block != document()->lastBlock()) return false;
  const QTextLayout* layout = block.layout();
  const QTextLine line = layout->lineForTextPosition(caret.positionInBlock());
  return !line.isValid() || line.lineNumber() == layout->lineCount() - 1;
}

void SegmentTextEdit::textEdited() {
  updateGeometry();
  if (settingText_) return;
  // Input-method composition signals changes too, but changes no text.
  QString text = toPlainText();
  if (text == reportedText_) return;
  reportedText_ = std::move(text);
  if (onChange) onChange(reportedText_);
}

}  // namespace veltovoice
