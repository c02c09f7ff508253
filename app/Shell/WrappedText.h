#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace veltovoice {

// A plain text that wraps to the width it is given, breaking between words and, where one word is
// too long for a line, inside it, so that nothing is ever cut at the side. With a line limit the
// text stops after that many lines and the last shown line ends in "…"; without one it takes the
// height of all its lines. GUI thread only.
class WrappedText : public QWidget {
  Q_OBJECT

 public:
  explicit WrappedText(QWidget* parent = nullptr);

  const QString& text() const { return text_; }
  void setText(const QString& text);
  // 0: no limit.
  int maximumLines() const { return maximumLines_; }
  void setMaximumLines(int lines);
  const QColor& color() const { return color_; }
  void setColor(const QColor& color);

  // The number of lines the text takes at `width`, before any limit.
  int lineCountFor(int width) const;
  // Whether the limit cuts the text at the current width.
  bool isCut() const;

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int shownLinesFor(int width) const;

  QString text_;
  int maximumLines_ = 0;
  QColor color_;
};

}  // namespace veltovoice
