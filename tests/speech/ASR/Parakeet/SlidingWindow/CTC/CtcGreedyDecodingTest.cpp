#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/ml/MLMultiArray.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(CtcGreedyDecodingTest, DecodeCtcTokenIdsJoinsPiecesIntoText) {
  const std::map<int, std::string> vocabulary = {
      {1, "\u2581he"}, {2, "llo"},       {3, "\u2581world"},   {4, "\u2581"},      {5, "\t\u2581x\u2581"},
      {6, "\nx\n"},    {7, "x\u3000"},   {8, "\u2581\u2581a"},
  };
  struct Case {
    const char* name;
    std::vector<int> ids;
    std::string text;
  };
  const Case cases[] = {
      {"words", {1, 2, 3}, "hello world"},
      {"leading word mark leaves no space", {3}, "world"},
      {"unknown id vanishes", {1, 99, 2, -1}, "hello"},
      {"no ids", {}, ""},
      {"inner runs of spaces stay", {1, 4, 4, 3}, "he   world"},
      {"tabs and spaces trimmed at the ends", {5}, "x"},
      {"line breaks at the ends stay", {6}, "\nx\n"},
      {"ideographic space trimmed", {7}, "x"},
      {"two marks give two spaces", {2, 8}, "llo  a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeCtcTokenIds(c.ids, vocabulary), c.text);
  }
}

// Pieces naming their ids, so that the text shows which index won each frame.
const std::map<int, std::string> kDigits = {{0, "\u2581zero"}, {1, "\u2581one"},  {2, "\u2581two"},
                                            {3, "\u2581three"}, {5, "\u2581a"}};
constexpr int kBlank = 4;

// A frame of width 6 whose largest value sits at `best`; an empty frame for -1.
std::vector<float> frameAt(int best) {
  if (best < 0) return {};
  std::vector<float> frame(6, -5.0F);
  frame[best] = -0.1F;
  return frame;
}

TEST(CtcGreedyDecodingTest, MatrixFormCollapsesRepeatsAndDropsBlanks) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> frames;
    std::string text;
  };
  const Case cases[] = {
      {"blank separates a repeat", {frameAt(5), frameAt(5), frameAt(kBlank), frameAt(5)}, "a a"},
      {"empty frame separates nothing", {frameAt(5), frameAt(-1), frameAt(5)}, "a"},
      {"only blanks", {frameAt(kBlank), frameAt(kBlank)}, ""},
      {"no frames", {}, ""},
      {"ties go to the lowest index", {{-1, -0.5F, -3, -0.5F, -2, -0.5F}}, "one"},
      {"all negative infinity gives 0", {{-kInf, -kInf, -kInf, -kInf, -kInf, -kInf}}, "zero"},
      {"all NaN gives 0", {{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}}, "zero"},
      {"NaN never beats a number", {{kNaN, -3, kNaN, -1, kNaN, kNaN}}, "three"},
      {"NaN never beats negative infinity", {{kNaN, kNaN, -kInf, kNaN, kNaN, kNaN}}, "two"},
      {"frames of their own widths", {{-1, -0.5F}, {-1, -2, -0.5F, -3}, {-0.1F}}, "one two zero"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ctcGreedyDecode(c.frames, kDigits, kBlank), c.text);
  }
}

TEST(CtcGreedyDecodingTest, MatrixFormSurvivesBadVocabulariesAndBlankIds) {
  const std::vector<std::vector<float>> frames = {frameAt(5), frameAt(kBlank), frameAt(0)};
  EXPECT_EQ(ctcGreedyDecode(frames, {}, kBlank), "");
  EXPECT_EQ(ctcGreedyDecode(frames, {{5, "\u2581a"}}, kBlank), "a");
  EXPECT_EQ(ctcGreedyDecode(frames, kDigits, -1), "a zero");
  EXPECT_EQ(ctcGreedyDecode(frames, kDigits, 1000), "a zero");
}

// Scores drawn from few integer values, so that ties are common and every element type holds them
// exactly.
std::vector<double> randomScores(std::mt19937& random, size_t count) {
  std::uniform_int_distribution<int> value(-6, 0);
  std::vector<double> scores(count);
  for (auto& s : scores) s = value(random);
  return scores;
}

// The first batch entry of a [batch, frames, width] row-major value list as a matrix.
std::vector<std::vector<float>> firstBatch(const std::vector<double>& values, int64_t frames, int64_t width) {
  std::vector<std::vector<float>> matrix(frames, std::vector<float>(width));
  for (int64_t t = 0; t < frames; ++t) {
    for (int64_t v = 0; v < width; ++v) matrix[t][v] = static_cast<float>(values[t * width + v]);
  }
  return matrix;
}

TEST(CtcGreedyDecodingTest, MultiArrayFormDecodesLikeItsMatrix) {
  constexpr int64_t kFrames = 40;
  constexpr int64_t kWidth = 6;
  const std::vector<int64_t> shape = {2, kFrames, kWidth};
  struct Layout {
    const char* name;
    std::vector<int64_t> strides;  // empty for dense memory
  };
  const Layout layouts[] = {
      {"dense", {}},
      {"padded frames", {kFrames * 9, 9, 1}},
      {"every other element", {kFrames * kWidth * 2, kWidth * 2, 2}},
      {"batch last", {1, kWidth * 2, 2}},
  };
  const MLMultiArrayDataType types[] = {MLMultiArrayDataType::float32, MLMultiArrayDataType::float16,
                                        MLMultiArrayDataType::float64, MLMultiArrayDataType::int32};
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (const auto& layout : layouts) {
    for (const auto type : types) {
      SCOPED_TRACE(std::string(layout.name) + ", type " + std::to_string(static_cast<int>(type)));
      const auto values = randomScores(random, 2 * kFrames * kWidth);
      const auto array = layout.strides.empty() ? testsupport::makeArray(shape, values, type)
                                                : testsupport::makeStridedArray(shape, values, layout.strides, type);
      const std::string expected = ctcGreedyDecode(firstBatch(values, kFrames, kWidth), kDigits, kBlank);
      EXPECT_FALSE(expected.empty());
      EXPECT_EQ(ctcGreedyDecode(*array, kDigits, kBlank), expected);
    }
  }
}

TEST(CtcGreedyDecodingTest, MultiArrayOfOtherRankOrNoBatchGivesEmptyText) {
  const std::vector<double> frames = {-5, -5, -5, -5, -5, 0, -5, -5, -5, -5, 0, -5};
  EXPECT_EQ(ctcGreedyDecode(*testsupport::makeArray({1, 2, 6}, frames), kDigits, kBlank), "a");
  EXPECT_EQ(ctcGreedyDecode(*testsupport::makeArray({2, 6}, frames), kDigits, kBlank), "");
  EXPECT_EQ(ctcGreedyDecode(*testsupport::makeArray({1, 1, 2, 6}, frames), kDigits, kBlank), "");
  EXPECT_EQ(ctcGreedyDecode(*testsupport::makeArray({0, 2, 6}, {}), kDigits, kBlank), "");
  EXPECT_EQ(ctcGreedyDecode(*testsupport::makeArray({1, 2, 0}, {}), kDigits, kBlank), "");
}

}  // namespace
}  // namespace tesselaudio
