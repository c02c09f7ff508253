#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dsp/VectorOps.h"

namespace platform::dsp {
namespace {

// Element (r, c) of a row-major matrix stored `columns` wide, read transposed when asked.
double at(const std::vector<double>& m, int r, int c, int storedColumns, Transpose transpose) {
  return transpose == Transpose::transposed ? m[size_t(c * storedColumns + r)] : m[size_t(r * storedColumns + c)];
}

TEST(DoubleVectorOpsTest, MatrixVectorAsStoredAndTransposed) {
  const std::vector<double> m = {1, 2, 3, 4, 5, 6};  // 2 x 3
  std::vector<double> y(2, 99.0);
  matrixVector(m, 2, 3, std::vector<double>{1, 1, 2}, y);
  EXPECT_EQ(y, (std::vector<double>{9, 21}));
  std::vector<double> yt(3, 99.0);
  matrixVector(m, 2, 3, std::vector<double>{1, 2}, yt, Transpose::transposed);
  EXPECT_EQ(yt, (std::vector<double>{9, 12, 15}));
  std::vector<double> zeros(3, 7.0);
  matrixVector({}, 0, 3, {}, zeros, Transpose::transposed);
  EXPECT_EQ(zeros, std::vector<double>(3, 0.0));
}

TEST(DoubleVectorOpsTest, MatrixMultiplyMatchesThePlainProductForEveryTransposition) {
  const unsigned seed = 11;
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> value(-1, 1);
  const int rows = 7, inner = 5, columns = 3;
  for (Transpose ta : {Transpose::none, Transpose::transposed}) {
    for (Transpose tb : {Transpose::none, Transpose::transposed}) {
      SCOPED_TRACE(testing::Message() << "transposed A " << (ta == Transpose::transposed) << ", B "
                                      << (tb == Transpose::transposed) << ", seed " << seed);
      std::vector<double> a(size_t(rows * inner)), b(size_t(inner * columns)), c(size_t(rows * columns), 5.0);
      for (auto& v : a) v = value(random);
      for (auto& v : b) v = value(random);
      matrixMultiply(a, b, c, rows, inner, columns, ta, tb);
      const int aColumns = ta == Transpose::transposed ? rows : inner;
      const int bColumns = tb == Transpose::transposed ? inner : columns;
      for (int r = 0; r < rows; ++r) {
        for (int col = 0; col < columns; ++col) {
          double sum = 0;
          for (int i = 0; i < inner; ++i) sum += at(a, r, i, aColumns, ta) * at(b, i, col, bColumns, tb);
          ASSERT_NEAR(c[size_t(r * columns + col)], sum, 1e-12) << "element " << r << ", " << col;
        }
      }
    }
  }
}

TEST(DoubleVectorOpsTest, MatrixMultiplyWithEmptyInnerDimensionGivesZeros) {
  std::vector<double> c(6, 5.0);
  matrixMultiply({}, {}, c, 2, 0, 3, Transpose::transposed);
  EXPECT_EQ(c, std::vector<double>(6, 0.0));
}

}  // namespace
}  // namespace platform::dsp
