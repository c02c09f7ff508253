#pragma once

// Helpers shared by the operator kernels: type dispatch, broadcasting and axis arithmetic.

#include <array>
#include <cstdint>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "platform/ml/MLModelError.h"
#include "platform/ml/Operators.h"
#include "platform/ml/Tensor.h"

namespace platform::ml {

template <class T>
constexpr ElementType elementTypeOf() {
  if constexpr (std::is_same_v<T, float>) return ElementType::float32;
  else if constexpr (std::is_same_v<T, double>) return ElementType::float64;
  else if constexpr (std::is_same_v<T, int32_t>) return ElementType::int32;
  else if constexpr (std::is_same_v<T, int64_t>) return ElementType::int64;
  else if constexpr (std::is_same_v<T, bool>) return ElementType::bool_;
  else if constexpr (std::is_same_v<T, int8_t>) return ElementType::int8;
  else if constexpr (std::is_same_v<T, uint8_t>) return ElementType::uint8;
  else if constexpr (std::is_same_v<T, int16_t>) return ElementType::int16;
  else if constexpr (std::is_same_v<T, uint16_t>) return ElementType::uint16;
  else if constexpr (std::is_same_v<T, uint32_t>) return ElementType::uint32;
  else if constexpr (std::is_same_v<T, uint64_t>) return ElementType::uint64;
  else return ElementType::undefined;
}

// v < 0 without a warning for unsigned types.
template <class T>
constexpr bool isNegative(T v) {
  if constexpr (std::is_signed_v<T> || std::is_floating_point_v<T>) return v < T(0);
  else return false;
}

// Calls f(T{}) for the floating-point and integer tensor types; fails the node otherwise.
template <class F>
void dispatchNumeric(const KernelContext& c, ElementType type, F&& f) {
  switch (type) {
    case ElementType::float32: f(float{}); return;
    case ElementType::float64: f(double{}); return;
    case ElementType::int32: f(int32_t{}); return;
    case ElementType::int64: f(int64_t{}); return;
    case ElementType::int8: f(int8_t{}); return;
    case ElementType::uint8: f(uint8_t{}); return;
    case ElementType::int16: f(int16_t{}); return;
    case ElementType::uint16: f(uint16_t{}); return;
    case ElementType::uint32: f(uint32_t{}); return;
    case ElementType::uint64: f(uint64_t{}); return;
    default: c.fail(fmt::format("does not handle {} tensors", elementTypeName(type)));
  }
}

// Calls f(T{}) for float32 and float64 tensors.
template <class F>
void dispatchFloating(const KernelContext& c, ElementType type, F&& f) {
  switch (type) {
    case ElementType::float32: f(float{}); return;
    case ElementType::float64: f(double{}); return;
    default: c.fail(fmt::format("does not handle {} tensors", elementTypeName(type)));
  }
}

// A negative axis counts from the end. Fails the node when outside [-rank, rank).
inline int64_t normalizeAxis(const KernelContext& c, int64_t axis, int64_t rank) {
  if (axis < -rank || axis >= std::max<int64_t>(rank, 1)) c.fail(fmt::format("axis {} is outside rank {}", axis, rank));
  return axis < 0 ? axis + rank : axis;
}

// Axes given as the operator's `axes` input (newer operator sets): a 1-D int64 tensor.
inline std::vector<int64_t> axesInput(const KernelContext& c, size_t index) {
  const Tensor& axes = c.input(index);
  if (axes.type() != ElementType::int64 || axes.rank() != 1) {
    c.fail(fmt::format("takes axes as a 1-D int64 tensor, not {} of shape {}", elementTypeName(axes.type()), shapeText(axes.shape())));
  }
  return axes.integers();
}

// Each axis counted from the front; fails the node on one outside the rank or given twice.
inline std::vector<int64_t> normalizeAxes(const KernelContext& c, const std::vector<int64_t>& axes, int64_t rank) {
  std::vector<int64_t> result;
  std::vector<bool> seen(static_cast<size_t>(std::max<int64_t>(rank, 0)), false);
  for (int64_t a : axes) {
    if (a < -rank || a >= rank) c.fail(fmt::format("axis {} is outside rank {}", a, rank));
    const int64_t n = a < 0 ? a + rank : a;
    if (seen[static_cast<size_t>(n)]) c.fail(fmt::format("names axis {} twice", a));
    seen[static_cast<size_t>(n)] = true;
    result.push_back(n);
  }
  return result;
}

inline std::vector<int64_t> denseStrides(const Shape& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  for (size_t i = shape.size(); i > 1; --i) strides[i - 2] = strides[i - 1] * shape[i - 1];
  return strides;
}

inline int64_t product(const Shape& shape, size_t begin, size_t end) {
  int64_t p = 1;
  for (size_t i = begin; i < end && i < shape.size(); ++i) p *= shape[i];
  return p;
}

// Numpy broadcasting of several shapes; fails the node when they do not fit.
inline Shape broadcastShape(const KernelContext& c, const std::vector<const Shape*>& shapes) {
  size_t rank = 0;
  for (const Shape* s : shapes) rank = std::max(rank, s->size());
  Shape out(rank, 1);
  for (const Shape* s : shapes) {
    const size_t shift = rank - s->size();
    for (size_t i = 0; i < s->size(); ++i) {
      const int64_t d = (*s)[i];
      int64_t& o = out[shift + i];
      if (d == o || d == 1) continue;
      if (o == 1) {
        o = d;
        continue;
      }
      std::string text;
      for (const Shape* t : shapes) text += (text.empty() ? "" : " and ") + shapeText(*t);
      c.fail(fmt::format("cannot broadcast {}", text));
    }
  }
  return out;
}

// Element strides of `shape` read over the broadcast shape `out` (0 along broadcast dimensions).
inline std::vector<int64_t> broadcastStrides(const Shape& shape, const Shape& out) {
  std::vector<int64_t> strides(out.size(), 0);
  const auto dense = denseStrides(shape);
  const size_t shift = out.size() - shape.size();
  for (size_t i = 0; i < shape.size(); ++i) strides[shift + i] = shape[i] == 1 ? 0 : dense[i];
  return strides;
}

// Visits every element of `out` in row-major order with the matching element offsets of N inputs:
// f(outputIndex, offsets).
template <size_t N, class F>
void broadcastLoop(const Shape& out, const std::array<std::vector<int64_t>, N>& strides, F&& f) {
  const int64_t total = product(out, 0, out.size());
  if (total == 0) return;
  std::array<int64_t, N> offsets{};
  if (out.empty()) {
    f(int64_t{0}, offsets);
    return;
  }
  const size_t rank = out.size();
  const int64_t inner = out[rank - 1];
  std::array<int64_t, N> innerStride{};
  for (size_t k = 0; k < N; ++k) innerStride[k] = strides[k][rank - 1];
  std::vector<int64_t> counter(rank, 0);
  for (int64_t o = 0; o < total; o += inner) {
    std::array<int64_t, N> current = offsets;
    for (int64_t j = 0; j < inner; ++j) {
      f(o + j, current);
      for (size_t k = 0; k < N; ++k) current[k] += innerStride[k];
    }
    for (size_t d = rank - 1; d-- > 0;) {
      ++counter[d];
      for (size_t k = 0; k < N; ++k) offsets[k] += strides[k][d];
      if (counter[d] < out[d]) break;
      for (size_t k = 0; k < N; ++k) offsets[k] -= strides[k][d] * out[d];
      counter[d] = 0;
    }
  }
}

// Reads an int64 list either from an optional input (newer operator sets) or from an attribute.
inline std::vector<int64_t> listFromInputOrAttribute(const KernelContext& c, size_t input, const char* attribute,
                                                    bool* present = nullptr) {
  if (c.hasInput(input)) {
    if (present) *present = true;
    return c.input(input).integers();
  }
  if (const auto* values = c.node.intsAttribute(attribute)) {
    if (present) *present = true;
    return *values;
  }
  if (present) *present = false;
  return {};
}

// C[m x n] = alpha * op(A) * op(B) + beta * C, row-major with leading dimensions; float and double go
// through OpenBLAS, integers through a plain loop.
template <class T>
void gemm(bool transA, bool transB, int64_t m, int64_t n, int64_t k, T alpha, const T* a, int64_t lda, const T* b,
          int64_t ldb, T beta, T* c, int64_t ldc);

// Kernel tables of each operator family.
using OperatorTable = std::vector<std::pair<const char*, OperatorEntry>>;
void addElementwiseOperators(OperatorTable& table);
void addShapeOperators(OperatorTable& table);
void addMatrixOperators(OperatorTable& table);
void addReductionOperators(OperatorTable& table);
void addNormalizationOperators(OperatorTable& table);
void addPoolOperators(OperatorTable& table);
void addRecurrentOperators(OperatorTable& table);
void addControlFlowOperators(OperatorTable& table);
void addSequenceOperators(OperatorTable& table);
void addStringOperators(OperatorTable& table);

}  // namespace platform::ml
