#pragma once

#include <span>

// Vector routines in place of the platform's vDSP and BLAS calls, backed by OpenBLAS: single
// precision, and the double-precision matrix products of the clustering. Safe from any thread;
// none allocates.
namespace platform::dsp {

// Whether a matrix argument enters a product as stored or transposed.
enum class Transpose { none, transposed };

// out[i] = a[i] * b[i].
// REQUIRES: a, b and out have the same size (out may be a or b).
void multiply(std::span<const float> a, std::span<const float> b, std::span<float> out);

// out[i] = a[i] * scalar + b[i].
// REQUIRES: a, b and out have the same size (out may be b, not a part of a ahead of it).
void scaleAdd(std::span<const float> a, float scalar, std::span<const float> b,
              std::span<float> out);

// Sum of a[i] * b[i].
// REQUIRES: a.size() == b.size().
float dot(std::span<const float> a, std::span<const float> b);

// y = M x for a row-major matrix M of `rows` x `columns` values.
// REQUIRES: matrix.size() == rows * columns; x.size() == columns; y.size() == rows.
void matrixVector(std::span<const float> matrix, int rows, int columns, std::span<const float> x,
                  std::span<float> y);

// to[i * toStride] = from[i * fromStride] for i in [0, count): one strided BLAS copy.
// REQUIRES: count >= 0; both regions hold their `count` elements at their steps.
void stridedCopy(const float* from, int fromStride, float* to, int toStride, int count);

// C = A B for row-major matrices A of `rows` x `inner`, B of `inner` x `columns` and C of `rows` x
// `columns` values. C is overwritten, never accumulated into.
// REQUIRES: a.size() == rows * inner; b.size() == inner * columns; c.size() == rows * columns;
// c overlaps neither a nor b.
void matrixMultiply(std::span<const float> a, std::span<const float> b, std::span<float> c, int rows,
                    int inner, int columns);

// y = op(M) x in double precision, for a row-major matrix M of `rows` x `columns` values, op(M)
// being M or its transpose. y is overwritten.
// REQUIRES: matrix.size() == rows * columns; x and y sized as op(M) requires (x.size() == columns
// and y.size() == rows as stored; the other way round when transposed).
void matrixVector(std::span<const double> matrix, int rows, int columns, std::span<const double> x,
                  std::span<double> y, Transpose transpose = Transpose::none);

// C = op(A) op(B) in double precision, with op(A) of `rows` x `inner`, op(B) of `inner` x
// `columns` and C of `rows` x `columns` values, all row-major; a transposed argument is stored the
// other way round (A as `inner` x `rows`). C is overwritten, never accumulated into.
// REQUIRES: the sizes match those shapes; c overlaps neither a nor b.
void matrixMultiply(std::span<const double> a, std::span<const double> b, std::span<double> c, int rows,
                    int inner, int columns, Transpose transposeA = Transpose::none,
                    Transpose transposeB = Transpose::none);

}  // namespace platform::dsp
