#include "app/Shell/WaveformView.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <QPainter>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice {
namespace {

constexpr float kLevelFloor = 0.0001f;  // -80 dB
constexpr double kSilentDecibels = -60;
constexpr double kFullDecibels = -10;
constexpr double kShortestFraction = 0.04;
constexpr double kActiveOpacity = 0.85;
constexpr double kHeightSteps = 4;  // bar images per point of height
constexpr int kMostBarImages = 1024;

double heightFraction(float level) {
  // Written so that NaN takes the floor as well.
  const float clamped = level >= kLevelFloor ? level : kLevelFloor;
  const double decibels = 20.0 * std::log10(static_cast<double>(clamped));
  const double position = (decibels - kSilentDecibels) / (kFullDecibels - kSilentDecibels);
  if (position >= 1) return 1;
  return std::max(position, kShortestFraction);
}

}  // namespace

std::vector<QRectF> waveformBars(const std::vector<float>& levels, double width, double height) {
  if (!(width >= WaveformView::kBarPitch) || !(height > 0) || !std::isfinite(height)) return {};
  // In doubles: an absurd width must not overflow an integer slot count.
  const double slotCount = std::floor(width / WaveformView::kBarPitch);
  const std::size_t taken =
      static_cast<std::size_t>(std::min(slotCount, static_cast<double>(levels.size())));
  if (taken == 0) return {};

  const double firstX = (slotCount - static_cast<double>(taken)) * WaveformView::kBarPitch;
  std::vector<QRectF> bars;
  bars.reserve(taken);
  const std::size_t first = levels.size() - taken;
  for (std::size_t i = 0; i < taken; ++i) {
    const double barHeight = height * heightFraction(levels[first + i]);
    bars.emplace_back(firstX + WaveformView::kBarPitch * static_cast<double>(i),
                      (height - barHeight) / 2, WaveformView::kBarWidth, barHeight);
  }
  return bars;
}

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("waveform"));
  setAccessibleName(QStringLiteral("録音中の音量"));
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void WaveformView::setLevels(const std::vector<float>& levels) {
  if (levels == levels_) return;
  levels_ = levels;
  update();
}

void WaveformView::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  update();
}

QColor WaveformView::barColor() const {
  if (!active_) return VeltoToolsDesign::muted();
  QColor color = VeltoToolsDesign::accent();
  color.setAlphaF(static_cast<float>(kActiveOpacity));
  return color;
}

const QImage& WaveformView::barImage(double barHeight, qreal pixelRatio) {
  const QColor color = barColor();
  if (color != barImagesColor_ || height() != barImagesHeight_ || pixelRatio != barImagesRatio_ ||
      barImages_.size() >= kMostBarImages) {
    barImages_.clear();
    barImagesColor_ = color;
    barImagesHeight_ = height();
    barImagesRatio_ = pixelRatio;
  }
  const int steps = static_cast<int>(std::lround(barHeight * kHeightSteps));
  auto found = barImages_.find(steps);
  if (found != barImages_.end()) return *found;

  const double shownHeight = steps / kHeightSteps;
  QImage image(QSize(static_cast<int>(std::ceil(kBarWidth * pixelRatio)),
                     static_cast<int>(std::ceil(height() * pixelRatio))),
               QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(pixelRatio);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);
  painter.drawRoundedRect(QRectF(0, (height() - shownHeight) / 2, kBarWidth, shownHeight),
                          kBarCornerRadius, kBarCornerRadius);
  painter.end();
  return *barImages_.insert(steps, image);
}

void WaveformView::paintEvent(QPaintEvent*) {
  const std::vector<QRectF> bars = waveformBars(levels_, width(), height());
  if (bars.empty()) return;
  QPainter painter(this);
  const qreal ratio = painter.device()->devicePixelRatioF();
  // Bars start on whole points (whole slots of 5), so each image lands on the pixel grid.
  for (const QRectF& bar : bars) painter.drawImage(QPointF(bar.x(), 0), barImage(bar.height(), ratio));
}

}  // namespace veltovoice
