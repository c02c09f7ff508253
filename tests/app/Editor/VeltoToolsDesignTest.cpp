#include "app/Editor/VeltoToolsDesign.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsFooter.h"
#include "app/Model/DesktopServices.h"
#include "tests/app/Editor/WidgetTestApplication.h"

namespace veltovoice {
namespace {

struct Rgba {
  double red, green, blue, alpha;
};

void expectColor(const QColor& color, Rgba expected) {
  EXPECT_NEAR(color.redF(), expected.red, 1e-4);
  EXPECT_NEAR(color.greenF(), expected.green, 1e-4);
  EXPECT_NEAR(color.blueF(), expected.blue, 1e-4);
  EXPECT_NEAR(color.alphaF(), expected.alpha, 1e-4);
  EXPECT_EQ(color.spec(), QColor::Rgb);
}

TEST(VeltoToolsDesignTest, ColoursAreTheKitsSrgbValues) {
  struct Case {
    const char* name;
    const QColor& color;
    Rgba expected;
  };
  const Case cases[] = {
      {"accent", VeltoToolsDesign::accent(), {0.67, 0.91, 0.66, 1}},
      {"background", VeltoToolsDesign::background(), {0.075, 0.085, 0.085, 1}},
      {"surface", VeltoToolsDesign::surface(), {1, 1, 1, 0.045}},
      {"primary", VeltoToolsDesign::primary(), {1, 1, 1, 1}},
      {"muted", VeltoToolsDesign::muted(), {1, 1, 1, 0.48}},
      {"divider", VeltoToolsDesign::divider(), {1, 1, 1, 0.08}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectColor(c.color, c.expected);
  }
  EXPECT_TRUE(VeltoToolsDesign::website().startsWith("https://"));
}

TEST(VeltoToolsDesignTest, PaletteLaysTranslucentColoursOverTheBackground) {
  const QPalette palette = VeltoToolsDesign::palette();
  const double bg[] = {0.075, 0.085, 0.085};
  auto over = [&](double alpha) {
    return Rgba{alpha + bg[0] * (1 - alpha), alpha + bg[1] * (1 - alpha), alpha + bg[2] * (1 - alpha), 1};
  };
  struct Case {
    const char* name;
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
    Rgba expected;
  };
  const Case cases[] = {
      {"window", QPalette::Active, QPalette::Window, {0.075, 0.085, 0.085, 1}},
      {"text", QPalette::Active, QPalette::Text, {1, 1, 1, 1}},
      {"baseIsSurface", QPalette::Active, QPalette::Base, over(0.045)},
      {"buttonIsSurface", QPalette::Active, QPalette::Button, over(0.045)},
      {"placeholderIsMuted", QPalette::Active, QPalette::PlaceholderText, over(0.48)},
      {"disabledTextIsMuted", QPalette::Disabled, QPalette::ButtonText, over(0.48)},
      {"midIsDivider", QPalette::Active, QPalette::Mid, over(0.08)},
      {"highlightIsAccent", QPalette::Active, QPalette::Highlight, {0.67, 0.91, 0.66, 1}},
      {"linkIsAccent", QPalette::Inactive, QPalette::Link, {0.67, 0.91, 0.66, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectColor(palette.color(c.group, c.role), c.expected);
  }
}

class RecordingDesktop : public DesktopServices {
 public:
  void showFileSelected(const std::filesystem::path&) override {}
  void openFolder(const std::filesystem::path&) override {}
  void openAddress(const std::string& address) override { addresses.push_back(address); }

  std::vector<std::string> addresses;
};

TEST(VeltoToolsFooterTest, NarrowWindowWrapsTheLineInsteadOfCuttingIt) {
  testing::widgetApplication();
  RecordingDesktop desktop;
  for (int windowWidth : {900, 180}) {
    SCOPED_TRACE(windowWidth);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->addStretch(1);
    auto* footer = new VeltoToolsFooter(desktop);
    layout->addWidget(footer);
    window.resize(windowWidth, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QApplication::processEvents();

    QLabel* line = footer->line();
    EXPECT_LE(line->width(), 300);
    EXPECT_LT(line->width(), windowWidth);
    // Every wrapped line is shown: the label is as tall as its text needs at its width.
    EXPECT_GE(line->height(), line->heightForWidth(line->width()));
    EXPECT_GE(line->height(), 2 * line->fontMetrics().lineSpacing());
    // Both parts sit at the trailing edge.
    EXPECT_GE(line->mapTo(&window, line->rect().topRight()).x(), windowWidth - 40);
  }
}

TEST(VeltoToolsFooterTest, LinkOpensTheWebsiteThroughTheDesktop) {
  testing::widgetApplication();
  RecordingDesktop desktop;
  VeltoToolsFooter footer(desktop);
  footer.show();
  QTest::mouseClick(footer.link(), Qt::LeftButton);
  EXPECT_EQ(desktop.addresses, std::vector<std::string>{VeltoToolsDesign::website().toStdString()});
}

TEST(SymbolsTest, EveryNamedSymbolDrawsSomethingInItsTint) {
  testing::widgetApplication();
  const QStringList wanted = {
      "gobackward.15", "goforward.15", "play.fill", "pause.fill", "arrow.up.right", "xmark",
      "trash", "pencil", "number", "chevron.down", "chevron.right", "checkmark.circle.fill",
      "record.circle", "record.circle.fill", "pause.circle", "pause.circle.fill", "stop.fill",
      "waveform", "waveform.badge.magnifyingglass", "wand.and.stars", "doc.text", "doc.on.doc",
      "folder", "macwindow", "exclamationmark.circle", "speaker.slash", "plus", "plus.circle",
      "arrow.uturn.backward", "arrow.clockwise", "ellipsis.circle", "checklist", "circle"};
  const QStringList names = Symbols::names();
  const QColor tint(10, 200, 30);
  for (const QString& name : wanted) {
    SCOPED_TRACE(name.toStdString());
    EXPECT_TRUE(names.contains(name));
    const QIcon icon = Symbols::icon(name, tint);
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(QSize(24, 24)).toImage();
    int inked = 0;
    int offTint = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor pixel = image.pixelColor(x, y);
        if (pixel.alpha() < 128) continue;
        ++inked;
        // Edge pixels are stored premultiplied, so their colour comes back rounded.
        if (std::abs(pixel.red() - 10) > 3 || std::abs(pixel.green() - 200) > 3 ||
            std::abs(pixel.blue() - 30) > 3) {
          ++offTint;
        }
      }
    }
    EXPECT_GT(inked, 20);
    EXPECT_EQ(offTint, 0);
  }
  EXPECT_TRUE(Symbols::icon("no.such.symbol").isNull());
}

}  // namespace
}  // namespace veltovoice
