#pragma once

#include <span>

// Single-precision vector routines in place of the platform's vDSP and BLAS calls, backed by
// OpenBLAS. Safe from any thread; none allocates.
namespace platform::dsp {

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

}  // namespace platform::dsp
