#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QVariantAnimation;

namespace veltovoice {

// One symbol of the icon set at a fixed size and colour that can pulse: its opacity swings down
// and back up once a second for as long as pulsing is on, and stands at full opacity otherwise.
// GUI thread only.
class PulsingSymbol : public QWidget {
  Q_OBJECT

 public:
  PulsingSymbol(int size, const QColor& color, QWidget* parent = nullptr);

  const QString& symbolName() const { return symbolName_; }
  void setSymbolName(const QString& name);
  bool pulsing() const;
  void setPulsing(bool pulsing);
  // The opacity the symbol is drawn with now.
  double opacity() const { return opacity_; }

  QSize sizeHint() const override;

  // The opacity of a pulse: one second from full opacity down and back, looping while running,
  // each value reported through valueChanged. Owned by `parent`.
  static QVariantAnimation* makePulse(QObject* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int size_;
  QColor color_;
  QString symbolName_;
  double opacity_ = 1;
  QVariantAnimation* pulse_;
};

}  // namespace veltovoice
