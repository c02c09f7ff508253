#include "app/Shell/WaveformView.h"

#include <cmath>
#include <limits>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "tests/app/Editor/WidgetTestApplication.h"

namespace veltovoice {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

TEST(WaveformBarsTest, LevelsScaleInDecibelsBetweenTheShortestBarAndFullHeight) {
  struct Case {
    const char* name;
    float level;
    double fraction;
  };
  const Case cases[] = {
      {"silence", 0.0f, 0.04},
      {"-60 dB", 0.001f, 0.04},
      {"below -60 dB", 0.0005f, 0.04},
      {"-58 dB still the shortest", 0.00126f, 0.04},
      {"-57 dB", 0.0014125f, 0.06},
      {"-40 dB", 0.01f, 0.4},
      {"-20 dB", 0.1f, 0.8},
      {"-10 dB", 0.3162278f, 1.0},
      {"0 dB", 1.0f, 1.0},
      {"far above full scale", 1e9f, 1.0},
      {"infinite", kInfinity, 1.0},
      {"not a number", kNaN, 0.04},
      {"negative", -0.5f, 0.04},
      {"negative infinity", -kInfinity, 0.04},
  };
  const double height = 56;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<QRectF> bars = waveformBars({c.level}, 5, height);
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_NEAR(bars[0].height() / height, c.fraction, 1e-3);
    EXPECT_DOUBLE_EQ(bars[0].center().y(), height / 2);
    EXPECT_DOUBLE_EQ(bars[0].width(), 3);
  }
}

TEST(WaveformBarsTest, NewestLevelsStandRightAlignedInWholeSlots) {
  struct Case {
    const char* name;
    std::vector<float> levels;
    double width;
    std::vector<double> xs;       // left edge of each bar, oldest first
    std::vector<double> heights;  // of a 100-high area
  };
  const Case cases[] = {
      {"no levels", {}, 700, {}, {}},
      {"fewer levels than slots", {0.01f, 0.1f}, 24.9, {10, 15}, {40, 80}},
      {"as many as slots", {0.01f, 0.1f}, 10, {0, 5}, {40, 80}},
      {"more levels than slots: the last ones", {1.0f, 0.01f, 0.1f, 0.001f}, 14, {0, 5}, {80, 4}},
      {"narrower than one slot", {0.1f}, 4.99, {}, {}},
      {"no width", {0.1f}, 0, {}, {}},
      {"negative width", {0.1f}, -20, {}, {}},
      {"width not a number", {0.1f}, std::nan(""), {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<QRectF> bars = waveformBars(c.levels, c.width, 100);
    ASSERT_EQ(bars.size(), c.xs.size());
    for (std::size_t i = 0; i < bars.size(); ++i) {
      EXPECT_DOUBLE_EQ(bars[i].x(), c.xs[i]);
      EXPECT_NEAR(bars[i].height(), c.heights[i], 1e-3);
    }
  }
}

TEST(WaveformBarsTest, DegenerateAreasDrawNothing) {
  const std::vector<float> levels(10, 0.1f);
  EXPECT_TRUE(waveformBars(levels, 100, 0).empty());
  EXPECT_TRUE(waveformBars(levels, 100, -5).empty());
  EXPECT_TRUE(waveformBars(levels, 100, std::nan("")).empty());
  // An absurd width keeps every level, the newest at the right edge.
  const std::vector<QRectF> wide = waveformBars(levels, 1e15, 10);
  ASSERT_EQ(wide.size(), levels.size());
  EXPECT_DOUBLE_EQ(wide.back().x(), 1e15 - 5);
}

// Renders the view into an image over a transparent background.
QImage rendered(WaveformView& view) {
  QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

TEST(WaveformViewTest, DrawsAccentBarsWhileActiveAndMutedOnesOtherwise) {
  testing::widgetApplication();
  WaveformView view;
  view.resize(50, 56);
  view.setLevels({1.0f, 1.0f});

  struct Case {
    const char* name;
    bool active;
    QColor color;
  };
  QColor accent = VeltoToolsDesign::accent();
  accent.setAlphaF(0.85f);
  const Case cases[] = {{"active", true, accent}, {"inactive", false, VeltoToolsDesign::muted()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view.setActive(c.active);
    EXPECT_EQ(view.barColor(), c.color);
    const QImage image = rendered(view);
    // The two bars take the last two slots (x 40 and 45); the slots before them stay empty.
    const QColor inBar = image.pixelColor(41, 28);
    EXPECT_NEAR(inBar.alphaF(), c.color.alphaF(), 0.02);
    EXPECT_NEAR(inBar.redF(), c.color.redF(), 0.02);
    EXPECT_NEAR(inBar.greenF(), c.color.greenF(), 0.02);
    EXPECT_EQ(image.pixelColor(44, 28).alpha(), 0);  // the gap
    EXPECT_EQ(image.pixelColor(20, 28).alpha(), 0);  // an empty slot
  }
  EXPECT_EQ(view.accessibleName(), "録音中の音量");
}

}  // namespace
}  // namespace veltovoice
