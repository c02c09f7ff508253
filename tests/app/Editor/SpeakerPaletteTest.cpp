#include "app/Editor/SpeakerPalette.h"

#include <optional>

#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice {
namespace {

TEST(SpeakerPaletteTest, SlotsCycleThroughFourColours) {
  const auto& colors = SpeakerPalette::colors();
  ASSERT_EQ(colors.size(), 4u);
  EXPECT_EQ(colors[0], VeltoToolsDesign::accent());
  const QColor amber = QColor::fromRgbF(0.98f, 0.80f, 0.45f, 1.0f);
  EXPECT_EQ(colors[2], amber);

  struct Case {
    const char* name;
    std::optional<int> slot;
    QColor expected;
  };
  const Case cases[] = {
      {"noSpeakerIsMuted", std::nullopt, VeltoToolsDesign::muted()},
      {"firstIsAccent", 0, VeltoToolsDesign::accent()},
      {"lightBlue", 1, QColor::fromRgbF(0.55f, 0.78f, 0.98f, 1.0f)},
      {"pink", 3, QColor::fromRgbF(0.96f, 0.62f, 0.78f, 1.0f)},
      {"wrapsToFirst", 4, colors[0]},
      {"sixIsAmber", 6, amber},
      {"minusOneIsLast", -1, colors[3]},
      {"minusFiveIsLast", -5, colors[3]},
      {"lowestInt", std::numeric_limits<int>::min(), colors[0]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SpeakerPalette::color(c.slot), c.expected);
  }
}

}  // namespace
}  // namespace veltovoice
