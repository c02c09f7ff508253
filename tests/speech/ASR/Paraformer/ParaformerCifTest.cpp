#include "speech/ASR/Paraformer/ParaformerCif.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using Rows = std::vector<std::vector<float>>;

struct Case {
  const char* name;
  Rows rows;
  std::vector<float> alphas;
  Rows embeds;
  std::vector<int> fireFrames;
};

// Rows 0 and 1 are distinct unit vectors, so each embedding reads as its two weights.
const Rows kRows = {{1, 0, 0}, {0, 1, 0}};

TEST(ParaformerCifTest, FiresWhereTheWeightsReachOneToken) {
  const Case cases[] = {
      {"RestBelowTheTailStaysSilent", kRows, {0.5f, 0.7f}, {{0.5f, 0.5f, 0}}, {1}},
      {"TailStepFiresLeftoverOfAtLeastPointFiveFive", kRows, {1.5f, 0.1f}, {{1, 0, 0}, {0.5f, 0.1f, 0}}, {0, 2}},
      {"WholeTokenOfRestCarriesToTheNextStep", {{1, 0, 0}}, {2.5f}, {{1, 0, 0}, {1.5f, 0, 0}}, {0, 1}},
      {"LowWeightsFireNothing", kRows, {0.1f, 0.2f}, {}, {}},
      {"ExactlyOneFiresAtOnce", kRows, {1.0f, 1.0f}, {{1, 0, 0}, {0, 1, 0}}, {0, 1}},
      {"NoRows", {}, {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fired = ParaformerCif::integrateAndFireWithFireFrames(c.rows, c.alphas);
    EXPECT_EQ(fired.fireFrames, c.fireFrames);
    ASSERT_EQ(fired.embeds.size(), c.embeds.size());
    for (std::size_t k = 0; k < c.embeds.size(); ++k) {
      ASSERT_EQ(fired.embeds[k].size(), c.embeds[k].size());
      for (std::size_t d = 0; d < c.embeds[k].size(); ++d) {
        EXPECT_NEAR(fired.embeds[k][d], c.embeds[k][d], 1e-6) << "embedding " << k << " value " << d;
      }
    }
  }
}

TEST(ParaformerCifTest, EmbeddingsAreAsWideAsTheRows) {
  const Rows rows(4, std::vector<float>(512, 1.0f));
  const auto fired = ParaformerCif::integrateAndFireWithFireFrames(rows, {0.6f, 0.6f, 0.6f, 0.6f});
  ASSERT_EQ(fired.embeds.size(), 2u);
  for (const auto& embed : fired.embeds) EXPECT_EQ(embed.size(), 512u);
  EXPECT_EQ(fired.fireFrames, (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace tesselaudio
