#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeamSearch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeam.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;
using Matrix = std::vector<std::vector<float>>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int kBlank = 0;

// Ids 1 to 6: "▁the", "▁cat", "▁cot", "▁sat", "s", "▁a".
const std::map<int, std::string> kVocabulary = {{1, "\u2581the"}, {2, "\u2581cat"}, {3, "\u2581cot"},
                                                {4, "\u2581sat"}, {5, "s"},        {6, "\u2581a"}};
constexpr int kWidth = 7;

// A frame whose ids have the given probabilities and every other id a small one, in natural logs.
std::vector<float> frame(std::initializer_list<std::pair<int, float>> probabilities) {
  std::vector<float> row(kWidth, std::log(0.001F));
  for (const auto& [id, p] : probabilities) row[id] = std::log(p);
  return row;
}

std::vector<float> peak(int id) { return frame({{id, 0.99F}}); }

// Searches with beam width 8 and 8 candidates.
std::string search(const Matrix& frames, const ARPALanguageModel* lm = nullptr, float lmWeight = 1,
                   float wordBonus = 0) {
  return ctcBeamSearch(frames, kVocabulary, lm, 8, lmWeight, wordBonus, kBlank, 8);
}

TEST(CtcBeamSearchTest, LogAddExpAddsProbabilitiesInLogSpace) {
  struct Case {
    const char* name;
    float a, b, sum;
  };
  const Case cases[] = {
      {"left negative infinity", -kInf, -3, -3},
      {"right negative infinity", 2, -kInf, 2},
      {"both negative infinity", -kInf, -kInf, -kInf},
      {"equal", 0, 0, std::log(2.0F)},
      {"apart", std::log(0.25F), std::log(0.5F), std::log(0.75F)},
      {"large values do not overflow", 1000, 1000, 1000 + std::log(2.0F)},
      {"small values do not underflow", -1000, -1001, -1000 + std::log1p(std::exp(-1.0F))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(logAddExp(c.a, c.b), c.sum);
    EXPECT_FLOAT_EQ(logAddExp(c.b, c.a), c.sum);
  }
  EXPECT_TRUE(std::isnan(logAddExp(std::nanf(""), 1)));
  EXPECT_TRUE(std::isnan(logAddExp(1, std::nanf(""))));

  const CtcBeam beam{.prefix = {4, 2}, .pBlank = std::log(0.25F), .pNonBlank = std::log(0.5F), .lmScore = -1,
                     .wordPieces = {}, .prevWord = std::nullopt};
  EXPECT_FLOAT_EQ(beam.totalAcoustic(), std::log(0.75F));
  EXPECT_FLOAT_EQ(beam.total(), std::log(0.75F) - 1);
  EXPECT_EQ(beam.lastToken(), 2);
  EXPECT_EQ(CtcBeam{}.lastToken(), std::nullopt);
}

TEST(CtcBeamSearchTest, NothingToSearchGivesEmptyText) {
  const Matrix frames = {peak(6), peak(kBlank), peak(4)};
  struct Case {
    const char* name;
    Matrix frames;
    int beamWidth;
    int tokenCandidates;
  };
  const Case cases[] = {
      {"beam width 0", frames, 0, 8},
      {"negative beam width", frames, -3, 8},
      {"no candidates", frames, 8, 0},
      {"negative candidates", frames, 8, -1},
      {"no frames", {}, 8, 8},
      {"empty first frame", {{}, peak(6)}, 8, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ctcBeamSearch(c.frames, kVocabulary, nullptr, c.beamWidth, 1, 0, kBlank, c.tokenCandidates), "");
  }
  EXPECT_EQ(search(frames), "a sat");
  EXPECT_EQ(ctcBeamSearch(frames, {}, nullptr, 8, 1, 0, kBlank, 8), "");
}

TEST(CtcBeamSearchTest, RepeatsCollapseUnlessABlankSeparatesThem) {
  EXPECT_EQ(search({peak(1), peak(5), peak(5), peak(5)}), "thes");
  EXPECT_EQ(search({peak(1), peak(5), peak(kBlank), peak(5)}), "thess");
  EXPECT_EQ(search({peak(6), peak(6), peak(kBlank), peak(kBlank), peak(6)}), "a a");
}

// Frames with one clear winner each, drawn at random over the vocabulary and the blank.
Matrix randomPeakedFrames(std::mt19937& random, int count) {
  std::uniform_int_distribution<int> id(0, kWidth - 1);
  std::uniform_real_distribution<float> rest(-12, -6);
  Matrix frames;
  for (int t = 0; t < count; ++t) {
    std::vector<float> row(kWidth);
    for (auto& value : row) value = rest(random);
    row[id(random)] = -0.01F;
    frames.push_back(row);
  }
  return frames;
}

TEST(CtcBeamSearchTest, WithoutLanguageModelMatchesGreedyDecodingOnPeakedFrames) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 20; ++round) {
    const Matrix frames = randomPeakedFrames(random, 30);
    const std::string greedy = ctcGreedyDecode(frames, kVocabulary, kBlank);
    EXPECT_EQ(search(frames), greedy);
    // Without a model the language part stays 0, whatever weight and bonus say.
    EXPECT_EQ(search(frames, nullptr, 50, -100), greedy);
    EXPECT_EQ(ctcBeamSearch(frames, kVocabulary, nullptr, 1, 1, 0, kBlank, 1), greedy);
  }
}

class CtcBeamSearchLanguageModelTest : public ::testing::Test {
 protected:
  // "the cot" is far likelier than "the cat", although "cat" alone is the likelier word.
  CtcBeamSearchLanguageModelTest() {
    const auto path = folder_ / "words.arpa";
    std::ofstream(path) << "\\1-grams:\n-1\tthe\t-0.5\n-1\tcat\n-1.5\tcot\n-1\tsat\n"
                           "\\2-grams:\n-0.1\tthe\tcot\n-3\tthe\tcat\n";
    lm_ = ARPALanguageModel::load(path);
  }

  testsupport::TemporaryFolder folder_;
  ARPALanguageModel lm_;
};

TEST_F(CtcBeamSearchLanguageModelTest, LanguageModelFlipsANearTie) {
  const Matrix frames = {peak(1), peak(kBlank), frame({{2, 0.51F}, {3, 0.48F}}), peak(kBlank), peak(4)};
  EXPECT_EQ(search(frames), "the cat sat");
  EXPECT_EQ(search(frames, &lm_), "the cot sat");
  // The weight of 0 leaves only the bonus, which every word gets alike.
  EXPECT_EQ(search(frames, &lm_, 0, 2), "the cat sat");
}

TEST_F(CtcBeamSearchLanguageModelTest, LastWordIsScoredAfterTheLastFrame) {
  // "cat" and "cot" are still in progress in the last frame: only the final scoring can flip them.
  const Matrix frames = {peak(1), peak(kBlank), frame({{2, 0.51F}, {3, 0.48F}})};
  EXPECT_EQ(search(frames), "the cat");
  EXPECT_EQ(search(frames, &lm_), "the cot");
}

TEST_F(CtcBeamSearchLanguageModelTest, MultiArrayFormSearchesLikeItsMatrix) {
  constexpr int64_t kFrames = 30;
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> quarter(-40, 0);
  struct Layout {
    const char* name;
    MLMultiArrayDataType type;
    std::vector<int64_t> strides;  // empty for dense memory
  };
  const Layout layouts[] = {
      {"float32 dense", MLMultiArrayDataType::float32, {}},
      {"float16 dense", MLMultiArrayDataType::float16, {}},
      {"float64 dense", MLMultiArrayDataType::float64, {}},
      {"float32 padded", MLMultiArrayDataType::float32, {kFrames * 10, 10, 1}},
      {"float16 padded", MLMultiArrayDataType::float16, {kFrames * 10, 10, 1}},
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    // Quarters are exact in every type, so the matrix holds the very values the array does.
    std::vector<double> values(2 * kFrames * kWidth);
    for (auto& v : values) v = quarter(random) / 4.0;
    Matrix matrix(kFrames, std::vector<float>(kWidth));
    for (int64_t t = 0; t < kFrames; ++t) {
      for (int64_t v = 0; v < kWidth; ++v) matrix[t][v] = static_cast<float>(values[t * kWidth + v]);
    }
    const std::vector<int64_t> shape = {2, kFrames, kWidth};
    const auto array = layout.strides.empty() ? testsupport::makeArray(shape, values, layout.type)
                                              : testsupport::makeStridedArray(shape, values, layout.strides, layout.type);
    const std::string expected = ctcBeamSearch(matrix, kVocabulary, &lm_, 4, 0.5F, 1, kBlank, 3);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(ctcBeamSearch(*array, kVocabulary, &lm_, 4, 0.5F, 1, kBlank, 3), expected);
  }
  EXPECT_EQ(ctcBeamSearch(*testsupport::makeArray({kWidth, 1}, std::vector<double>(kWidth)), kVocabulary, &lm_, 4, 0.5F,
                          1, kBlank, 3),
            "");
}

TEST(CtcBeamSearchTest, NarrowFramesAndOutsideBlanksScoreNegativeInfinity) {
  // Ids a frame lacks can never be chosen, and nothing is read past a frame's end.
  EXPECT_EQ(search({peak(6), {std::log(0.1F), std::log(0.9F)}, {std::log(0.1F)}, peak(4)}), "a the sat");
  // Without a blank every frame must emit, so a repeated peak continues the token.
  const Matrix frames = {peak(6), peak(6), peak(4)};
  EXPECT_EQ(ctcBeamSearch(frames, kVocabulary, nullptr, 8, 1, 0, 99, 8), "a sat");
  EXPECT_EQ(ctcBeamSearch(frames, kVocabulary, nullptr, 8, 1, 0, -1, 8), "a sat");
}

TEST(CtcBeamSearchTest, NotANumberDoesNotBreakTheSearch) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Matrix frames = {peak(6), std::vector<float>(kWidth, nan), peak(kBlank), {nan, -1, nan, -0.5F, nan, nan, nan}};
  const std::string first = search(frames);
  EXPECT_EQ(search(frames), first);
  EXPECT_EQ(search({peak(1), {nan, nan, nan, nan, -0.1F, nan, nan}}), "the sat");
}

}  // namespace
}  // namespace tesselaudio
