#include "platform/dsp/VectorOps.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace platform::dsp {
namespace {

// The product computed the plain way, in double precision.
std::vector<float> reference(const std::vector<float>& a, const std::vector<float>& b, int rows, int inner,
                             int columns) {
  std::vector<float> c(static_cast<size_t>(rows * columns));
  for (int r = 0; r < rows; ++r) {
    for (int col = 0; col < columns; ++col) {
      double sum = 0;
      for (int i = 0; i < inner; ++i) sum += double(a[size_t(r * inner + i)]) * double(b[size_t(i * columns + col)]);
      c[size_t(r * columns + col)] = static_cast<float>(sum);
    }
  }
  return c;
}

TEST(VectorOpsTest, MatrixMultiplyIsTheRowMajorProduct) {
  const std::vector<float> a = {1, 2, 3, 4, 5, 6};        // 2 x 3
  const std::vector<float> b = {7, 8, 9, 10, 11, 12};     // 3 x 2
  std::vector<float> c(4, 99.0f);                         // overwritten, not added to
  matrixMultiply(a, b, c, 2, 3, 2);
  EXPECT_EQ(c, (std::vector<float>{58, 64, 139, 154}));
}

TEST(VectorOpsTest, MatrixMultiplyMatchesThePlainProductOverShapes) {
  struct Case {
    int rows, inner, columns;
  };
  const unsigned seed = 7;
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-1, 1);
  for (const auto& [rows, inner, columns] : {Case{1, 1, 1}, Case{1, 1024, 512}, Case{13, 1024, 512},
                                               Case{5, 3, 1}, Case{1, 7, 9}, Case{17, 33, 65}}) {
    SCOPED_TRACE(testing::Message() << rows << "x" << inner << "x" << columns << " seed " << seed);
    std::vector<float> a(size_t(rows * inner)), b(size_t(inner * columns)), c(size_t(rows * columns), 1.0f);
    for (auto& v : a) v = value(random);
    for (auto& v : b) v = value(random);
    matrixMultiply(a, b, c, rows, inner, columns);
    const auto expected = reference(a, b, rows, inner, columns);
    for (size_t i = 0; i < c.size(); ++i) ASSERT_NEAR(c[i], expected[i], 1e-4f) << "element " << i;
  }
}

TEST(VectorOpsTest, MatrixMultiplyWithEmptyInnerDimensionGivesZeros) {
  std::vector<float> c(6, 5.0f);
  matrixMultiply({}, {}, c, 2, 0, 3);
  EXPECT_EQ(c, std::vector<float>(6, 0.0f));
  std::vector<float> none;
  matrixMultiply({}, std::vector<float>(4, 1.0f), none, 0, 2, 2);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace platform::dsp
