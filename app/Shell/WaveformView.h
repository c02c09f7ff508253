#pragma once

#include <vector>

#include <QColor>
#include <QHash>
#include <QImage>
#include <QRectF>
#include <QWidget>

namespace veltovoice {

// The bars of a level history drawn into a `width` by `height` area: one bar per 5 points (3
// wide, 2 apart), the newest level rightmost and free slots left empty on the left. Each level is
// clamped to at least 0.0001 (NaN and negative levels too) and scaled linearly in decibels, -60 dB
// and below at 0.04 of the height (the shortest bar), -10 dB and above at the full height; bars
// are centred vertically. Nothing for an empty history, a width below 5 or a height that is not
// positive.
std::vector<QRectF> waveformBars(const std::vector<float>& levels, double width, double height);

// A bar graph of the recent input levels that fills in from the right as levels arrive; bars are
// rounded and drawn in the accent colour while `active`, muted otherwise. Each bar height is drawn
// once, to a quarter point, and reused: a rounded shape costs the rasteriser far more than copying
// its pixels. GUI thread only.
class WaveformView : public QWidget {
  Q_OBJECT

 public:
  static constexpr double kBarWidth = 3;
  static constexpr double kBarPitch = 5;
  static constexpr double kBarCornerRadius = 1.5;

  explicit WaveformView(QWidget* parent = nullptr);

  const std::vector<float>& levels() const { return levels_; }
  void setLevels(const std::vector<float>& levels);
  bool active() const { return active_; }
  void setActive(bool active);
  // The fill of the bars: the accent at 85 % while active, muted otherwise.
  QColor barColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // One bar of `height` (at its place in the full height of the view), drawn once and kept.
  const QImage& barImage(double height, qreal pixelRatio);

  std::vector<float> levels_;
  bool active_ = false;
  // Drawn bars by height in quarter points, for the colour, view height and pixel ratio noted.
  QHash<int, QImage> barImages_;
  QColor barImagesColor_;
  int barImagesHeight_ = 0;
  qreal barImagesRatio_ = 0;
};

}  // namespace veltovoice
