#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QBasicTimer>
#include <QPlainTextEdit>
#include <QString>

class QFont;
class QPainter;
class QTextLayout;

namespace veltovoice {

// The in-place editor of one sentence: plain white text without frame, background or scroll bars,
// wrapped at its width, a 1 px inset above and below, caret in the accent colour, undo on. It knows
// nothing of the model and reports through its callbacks; an empty callback counts as absent.
//
// Keys: Up on the first line and Down on the last line leave the sentence (onMove), Backspace at
// offset 0 with nothing selected asks to join it to the previous one (onMergeBackward), Escape ends
// the editing. While an input method composes, those keys belong to it. Losing the focus to a popup
// (a context menu) or to another window does not end the editing.
//
// The painter functions lay text out exactly as the editor does, so that a row painted without the
// editor and the editor opened over it put every glyph on the same pixel. GUI thread only.
class SegmentTextEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  enum class Move { previous, next };

  static constexpr int kDefaultWidth = 400;  // laid out at this width when none is given
  static constexpr int kMinimumWidth = 20;
  static constexpr int kVerticalInset = 1;
  static constexpr double kFirstLineSlack = 0.5;

  // Text laid out the way the editor lays it out, once, to be measured and drawn: a painter
  // measures a row and draws its text from one layout.
  class Layout {
   public:
    // `width` as heightForWidth() takes it.
    Layout(const QString& text, const QFont& font, int width);
    ~Layout();
    Layout(Layout&&) noexcept;
    Layout& operator=(Layout&&) noexcept;

    // What heightForWidth() gives: ceil(max(used height, line spacing)) plus both insets.
    int height() const { return height_; }
    // Draws the text with its top-left corner (the inset included) at `topLeft`.
    void draw(QPainter& painter, const QPoint& topLeft, const QColor& color) const;

   private:
    std::vector<std::unique_ptr<QTextLayout>> paragraphs_;
    std::vector<qreal> tops_;
    int height_ = 0;
  };

  explicit SegmentTextEdit(QWidget* parent = nullptr);

  // The whole text after every edit by the user (typing, pasting, undo); never for setModelText().
  std::function<void(const QString&)> onChange;
  std::function<void(Move)> onMove;
  std::function<void()> onMergeBackward;
  // Editing began (the editor took the focus) and ended (it lost the focus for good).
  std::function<void()> onFocus;
  std::function<void()> onBlur;

  // Shows `text` from the model, unless the editor has the focus: what the user types wins.
  void setModelText(const QString& text);

  // Puts the focus here and the caret at `offset` (UTF-16 units, clamped to the length) on a later
  // turn of the event loop, when the editor stands where it is going to be. Does nothing when the
  // editor already has the focus. REQUIRES: offset >= 0.
  void requestFocus(int offset);

  // Whether the user is editing: between onFocus and onBlur.
  bool isEditing() const { return editing_; }

  bool hasHeightForWidth() const override { return true; }
  // The height the text needs at `width` (kDefaultWidth when negative, at least kMinimumWidth):
  // ceil(max(used height, line spacing)) plus the inset above and below.
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // The sentence font: the interface font at 15 px.
  static QFont sentenceFont();
  // What heightForWidth() gives for `text` in `font`, without an editor.
  static int textHeight(const QString& text, const QFont& font, int width);
  // Draws `text` as the editor would with its top-left corner (the inset included) at `topLeft`.
  static void paintText(QPainter& painter, const QString& text, const QFont& font,
                        const QPoint& topLeft, int width, const QColor& color);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  bool caretOnFirstLine() const;
  bool caretOnLastLine() const;
  void textEdited();
  void showCaret();

  QString reportedText_;  // the text as last set or reported
  bool settingText_ = false;
  bool editing_ = false;
  bool composing_ = false;
  bool caretOn_ = true;
  QBasicTimer blink_;
};

}  // namespace veltovoice
