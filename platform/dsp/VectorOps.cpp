#include "platform/dsp/VectorOps.h"

#include <algorithm>
#include <cassert>

#include <cblas.h>

namespace platform::dsp {
namespace {

// Checks the sizes of C = op(A) op(B) and fills C for the shapes without products; true when the
// BLAS still has to run.
template <class T>
bool needsProduct(std::span<const T> a, std::span<const T> b, std::span<T> c, int rows, int inner, int columns) {
  assert(rows >= 0 && inner >= 0 && columns >= 0);
  assert(a.size() == static_cast<size_t>(rows) * static_cast<size_t>(inner));
  assert(b.size() == static_cast<size_t>(inner) * static_cast<size_t>(columns));
  assert(c.size() == static_cast<size_t>(rows) * static_cast<size_t>(columns));
  if (inner == 0) std::fill(c.begin(), c.end(), T{0});
  return rows != 0 && columns != 0 && inner != 0;
}

CBLAS_TRANSPOSE blasTranspose(Transpose transpose) {
  return transpose == Transpose::transposed ? CblasTrans : CblasNoTrans;
}

}  // namespace

void multiply(std::span<const float> a, std::span<const float> b, std::span<float> out) {
  assert(a.size() == b.size() && a.size() == out.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = a[i] * b[i];
}

void scaleAdd(std::span<const float> a, float scalar, std::span<const float> b,
              std::span<float> out) {
  assert(a.size() == b.size() && a.size() == out.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = a[i] * scalar + b[i];
}

float dot(std::span<const float> a, std::span<const float> b) {
  assert(a.size() == b.size());
  if (a.empty()) return 0.0f;
  return cblas_sdot(static_cast<blasint>(a.size()), a.data(), 1, b.data(), 1);
}

void matrixVector(std::span<const float> matrix, int rows, int columns, std::span<const float> x,
                  std::span<float> y) {
  assert(rows >= 0 && columns >= 0);
  assert(matrix.size() == static_cast<size_t>(rows) * static_cast<size_t>(columns));
  assert(x.size() == static_cast<size_t>(columns) && y.size() == static_cast<size_t>(rows));
  if (rows == 0) return;
  if (columns == 0) {
    for (float& v : y) v = 0.0f;
    return;
  }
  cblas_sgemv(CblasRowMajor, CblasNoTrans, rows, columns, 1.0f, matrix.data(), columns, x.data(),
              1, 0.0f, y.data(), 1);
}

void stridedCopy(const float* from, int fromStride, float* to, int toStride, int count) {
  assert(count >= 0);
  if (count == 0) return;
  cblas_scopy(count, from, fromStride, to, toStride);
}

void matrixMultiply(std::span<const float> a, std::span<const float> b, std::span<float> c, int rows,
                    int inner, int columns) {
  if (!needsProduct(a, b, c, rows, inner, columns)) return;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, rows, columns, inner, 1.0f, a.data(), inner,
              b.data(), columns, 0.0f, c.data(), columns);
}

void matrixVector(std::span<const double> matrix, int rows, int columns, std::span<const double> x,
                  std::span<double> y, Transpose transpose) {
  assert(rows >= 0 && columns >= 0);
  assert(matrix.size() == static_cast<size_t>(rows) * static_cast<size_t>(columns));
  const bool transposed = transpose == Transpose::transposed;
  assert(x.size() == static_cast<size_t>(transposed ? rows : columns));
  assert(y.size() == static_cast<size_t>(transposed ? columns : rows));
  if (y.empty()) return;
  if (x.empty()) {
    for (double& v : y) v = 0.0;
    return;
  }
  cblas_dgemv(CblasRowMajor, blasTranspose(transpose), rows, columns, 1.0, matrix.data(), columns, x.data(),
              1, 0.0, y.data(), 1);
}

void matrixMultiply(std::span<const double> a, std::span<const double> b, std::span<double> c, int rows,
                    int inner, int columns, Transpose transposeA, Transpose transposeB) {
  if (!needsProduct(a, b, c, rows, inner, columns)) return;
  const int lda = transposeA == Transpose::transposed ? rows : inner;
  const int ldb = transposeB == Transpose::transposed ? inner : columns;
  cblas_dgemm(CblasRowMajor, blasTranspose(transposeA), blasTranspose(transposeB), rows, columns, inner, 1.0,
              a.data(), lda, b.data(), ldb, 0.0, c.data(), columns);
}

}  // namespace platform::dsp
