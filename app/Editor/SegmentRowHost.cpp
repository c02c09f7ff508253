#include "app/Editor/SegmentRowHost.h"

#include <utility>

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "app/Editor/SegmentTextEdit.h"

namespace veltovoice {
namespace {

constexpr int kDefaultWidth = 600;

void popUp(QMenu* menu, const QPoint& globalPosition) {
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(globalPosition);
}

}  // namespace

SegmentRowHost::SegmentRowHost(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("segmentRowHost"));
  QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  setMouseTracking(false);
}

void SegmentRowHost::setRow(SegmentRow row) {
  // Another sentence in the same host ends the editing of the one before.
  if (row_ && row_->segment().id != row.segment().id && editor()) {
    editor_->clearFocus();
    closeEditor();
  }
  row_ = std::move(row);
  if (editor_ && editor_->isVisible()) {
    row_->connectEditor(*editor_);
    const auto blur = editor_->onBlur;
    editor_->onBlur = [this, blur] {
      closeEditor();
      if (blur) blur();
    };
    placeEditor();
  }
  if (row_->focusOffset() && !(editor_ && editor_->hasFocus())) openEditor(*row_->focusOffset());
  followHeight();
  update();
}

SegmentTextEdit* SegmentRowHost::editor() const {
  return editor_ && editor_->isVisible() ? editor_ : nullptr;
}

void SegmentRowHost::openEditor(std::optional<int> offset) {
  if (!editor_) {
    editor_ = new SegmentTextEdit(this);
    editor_->hide();
    connect(editor_, &SegmentTextEdit::textChanged, this, [this] {
      placeEditor();
      followHeight();
      update();
    });
  }
  const bool wasOpen = editor_->isVisible();
  if (!wasOpen) {
    row_->connectEditor(*editor_);
    const auto blur = editor_->onBlur;
    editor_->onBlur = [this, blur] {
      closeEditor();
      if (blur) blur();
    };
    editor_->show();
    placeEditor();
    update();
  }
  if (offset) editor_->requestFocus(*offset);
}

void SegmentRowHost::closeEditor() {
  if (!editor_ || !editor_->isVisible()) return;
  editor_->hide();
  followHeight();
  update();
}

SegmentRow SegmentRowHost::shownRow() const {
  if (editor_ && editor_->isVisible()) return row_->showingText(editor_->toPlainText());
  return *row_;
}

int SegmentRowHost::heightForWidth(int width) const { return row_ ? shownRow().heightForWidth(width) : 0; }

QSize SegmentRowHost::sizeHint() const {
  const int width = this->width() > 0 ? this->width() : kDefaultWidth;
  return QSize(kDefaultWidth, heightForWidth(width));
}

void SegmentRowHost::placeEditor() {
  if (!editor_ || !editor_->isVisible() || !row_) return;
  QRect text = shownRow().regionRect(SegmentRow::Region::text, rect());
  text.setHeight(editor_->heightForWidth(text.width()));
  editor_->setGeometry(text);
}

void SegmentRowHost::followHeight() {
  if (!row_) return;
  // Inside a layout the layout sizes the host; on its own it keeps its width and follows its row.
  if (parentWidget() && parentWidget()->layout()) {
    updateGeometry();
  } else if (width() > 0) {
    const int height = heightForWidth(width());
    if (height != this->height()) resize(width(), height);
  }
}

void SegmentRowHost::paintEvent(QPaintEvent*) {
  if (!row_) return;
  QPainter painter(this);
  shownRow().paint(painter, rect(), editor() == nullptr);
}

void SegmentRowHost::mousePressEvent(QMouseEvent* event) {
  if (!row_ || event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const QPoint point = event->position().toPoint();
  const SegmentRow::Region region = row_->regionAt(point, rect());
  if (region == SegmentRow::Region::none || !row_->stillShown()) return;
  switch (region) {
    case SegmentRow::Region::check:
    case SegmentRow::Region::time:
      row_->click(region, event->modifiers());
      break;
    case SegmentRow::Region::speaker: {
      const QRect label = row_->regionRect(region, rect());
      popUp(row_->speakerMenu(this), mapToGlobal(label.bottomLeft()));
      break;
    }
    case SegmentRow::Region::text: {
      openEditor(std::nullopt);
      editor_->setFocus(Qt::MouseFocusReason);
      editor_->setTextCursor(editor_->cursorForPosition(editor_->viewport()->mapFrom(this, point)));
      break;
    }
    default:
      break;
  }
}

void SegmentRowHost::contextMenuEvent(QContextMenuEvent* event) {
  if (!row_ || !row_->stillShown()) return;
  popUp(row_->contextMenu(this), event->globalPos());
}

bool SegmentRowHost::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip && row_) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = row_->toolTip(row_->regionAt(help->pos(), rect()));
    if (text.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(help->globalPos(), text, this);
    }
    return true;
  }
  return QWidget::event(event);
}

void SegmentRowHost::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  placeEditor();
}

}  // namespace veltovoice
