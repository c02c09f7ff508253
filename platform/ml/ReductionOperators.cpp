// Kernels that reduce or scan along axes: Reduce*, ArgMax/ArgMin, Softmax, LogSoftmax, CumSum, TopK.

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

enum class Reduction { sum, mean, max, min, prod, l1, l2, sumSquare, logSum, logSumExp };

// True when the reduced axes are the last ones, so each output reduces one contiguous row.
bool reducesSuffix(const std::vector<bool>& reduced) {
  auto first = std::find(reduced.begin(), reduced.end(), true);
  return std::all_of(first, reduced.end(), [](bool r) { return r; });
}

// The largest (smallest) element of each of `rows` contiguous rows; NaN wins. Branch-free so the
// compiler vectorises it: a silence gate takes the peak of every chunk.
template <bool Max, class T, class Acc>
void extremeOfRows(const T* in, int64_t rows, int64_t length, Acc* out) {
  for (int64_t r = 0; r < rows; ++r) {
    const T* row = in + r * length;
    T best = Max ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    bool sawNaN = false;
    for (int64_t i = 0; i < length; ++i) {
      const T v = row[i];
      best = Max ? (v > best ? v : best) : (v < best ? v : best);
      sawNaN |= v != v;
    }
    out[r] = sawNaN ? std::numeric_limits<Acc>::quiet_NaN() : static_cast<Acc>(best);
  }
}

template <Reduction R>
void reduceKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t rank = x.rank();
  // ReduceSum takes its axes as an input from operator set 13 on, the others from set 18 on; before
  // that they are an attribute.
  const bool axesAsInput = c.opset >= (R == Reduction::sum ? 13 : 18);
  std::vector<int64_t> axes;
  if (axesAsInput) {
    if (c.hasInput(1)) axes = axesInput(c, 1);
  } else if (const auto* attribute = c.node.intsAttribute("axes")) {
    axes = *attribute;
  }
  const bool keepDims = c.node.intAttribute("keepdims", 1) != 0;
  const bool noopWithEmptyAxes = axesAsInput && c.node.intAttribute("noop_with_empty_axes", 0) != 0;
  if (axes.empty() && noopWithEmptyAxes) {
    c.outputs[0] = x;
    return;
  }
  std::vector<bool> reduced(static_cast<size_t>(rank), axes.empty());
  for (int64_t a : normalizeAxes(c, axes, rank)) reduced[static_cast<size_t>(a)] = true;
  Shape kept, outShape;
  int64_t reducedCount = 1;
  for (int64_t d = 0; d < rank; ++d) {
    const int64_t dim = x.shape()[static_cast<size_t>(d)];
    if (reduced[static_cast<size_t>(d)]) {
      reducedCount *= dim;
      kept.push_back(1);
      if (keepDims) outShape.push_back(1);
    } else {
      kept.push_back(dim);
      outShape.push_back(dim);
    }
  }
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    using Acc = std::conditional_t<std::is_floating_point_v<T>, double, T>;
    auto finish = [&](const std::vector<Acc>& acc) {
      Tensor y(x.type(), outShape);
      for (size_t i = 0; i < acc.size(); ++i) {
        Acc v = acc[i];
        if constexpr (R == Reduction::mean) v = reducedCount == 0 ? Acc(0) : static_cast<Acc>(v / static_cast<Acc>(reducedCount));
        if constexpr (R == Reduction::l2) v = static_cast<Acc>(std::sqrt(static_cast<double>(v)));
        if constexpr (R == Reduction::logSum || R == Reduction::logSumExp) v = static_cast<Acc>(std::log(static_cast<double>(v)));
        y.data<T>()[i] = static_cast<T>(v);
      }
      c.outputs[0] = std::move(y);
    };
    Acc init = 0;
    if constexpr (R == Reduction::max) init = std::is_floating_point_v<T> ? -std::numeric_limits<Acc>::infinity() : std::numeric_limits<Acc>::lowest();
    if constexpr (R == Reduction::min) init = std::is_floating_point_v<T> ? std::numeric_limits<Acc>::infinity() : std::numeric_limits<Acc>::max();
    if constexpr (R == Reduction::prod) init = 1;
    std::vector<Acc> acc(static_cast<size_t>(shapeCount(kept)), init);
    const T* in = x.data<T>();
    if constexpr ((R == Reduction::max || R == Reduction::min) && std::is_floating_point_v<T>) {
      if (reducesSuffix(reduced)) {
        extremeOfRows<R == Reduction::max>(in, static_cast<int64_t>(acc.size()), reducedCount, acc.data());
        return finish(acc);
      }
    }
    // Every input element adds into the output element it reduces to.
    auto strides = denseStrides(kept);
    for (size_t d = 0; d < kept.size(); ++d) {
      if (reduced[d]) strides[d] = 0;
    }
    broadcastLoop<1>(x.shape(), {strides}, [&](int64_t i, const std::array<int64_t, 1>& o) {
      Acc& a = acc[static_cast<size_t>(o[0])];
      const Acc v = static_cast<Acc>(in[i]);
      if constexpr (R == Reduction::sum || R == Reduction::mean || R == Reduction::logSum) a += v;
      else if constexpr (R == Reduction::l1) a += v < Acc(0) ? Acc(0) - v : v;
      else if constexpr (R == Reduction::l2 || R == Reduction::sumSquare) a += v * v;
      else if constexpr (R == Reduction::logSumExp) a += static_cast<Acc>(std::exp(static_cast<double>(v)));
      else if constexpr (R == Reduction::prod) a *= v;
      else if constexpr (R == Reduction::max) a = (v > a || std::isnan(static_cast<double>(v))) ? v : a;
      else a = (v < a || std::isnan(static_cast<double>(v))) ? v : a;
    });
    finish(acc);
  });
}

template <bool Max>
void argKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t rank = x.rank();
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), rank);
  const bool keepDims = c.node.intAttribute("keepdims", 1) != 0;
  const bool last = c.node.intAttribute("select_last_index", 0) != 0;
  const auto& s = x.shape();
  const int64_t outer = product(s, 0, static_cast<size_t>(axis));
  const int64_t dim = s[static_cast<size_t>(axis)];
  const int64_t inner = product(s, static_cast<size_t>(axis) + 1, s.size());
  if (dim == 0) c.fail("reduces an empty axis");
  Shape outShape = s;
  if (keepDims) outShape[static_cast<size_t>(axis)] = 1;
  else outShape.erase(outShape.begin() + axis);
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(ElementType::int64, outShape);
    const T* in = x.data<T>();
    for (int64_t o = 0; o < outer; ++o) {
      for (int64_t i = 0; i < inner; ++i) {
        int64_t best = 0;
        T bestValue = in[o * dim * inner + i];
        for (int64_t k = 1; k < dim; ++k) {
          const T v = in[(o * dim + k) * inner + i];
          const bool better = Max ? (v > bestValue || (last && v == bestValue)) : (v < bestValue || (last && v == bestValue));
          if (better) {
            best = k;
            bestValue = v;
          }
        }
        y.data<int64_t>()[o * inner + i] = best;
      }
    }
    c.outputs[0] = std::move(y);
  });
}

// Before operator set 13 the input is seen as a matrix [before axis, from axis on].
template <bool Log>
void softmaxKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t rank = x.rank();
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", c.opset >= 13 ? -1 : 1), rank);
  const auto& s = x.shape();
  int64_t outer = product(s, 0, static_cast<size_t>(axis));
  int64_t dim = rank == 0 ? 1 : s[static_cast<size_t>(axis)];
  int64_t inner = product(s, static_cast<size_t>(axis) + 1, s.size());
  if (c.opset < 13) {
    dim *= inner;
    inner = 1;
  }
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), s, Tensor::Uninitialized{});
    const T* in = x.data<T>();
    T* out = y.data<T>();
    for (int64_t o = 0; o < outer; ++o) {
      for (int64_t i = 0; i < inner; ++i) {
        const int64_t base = o * dim * inner + i;
        T top = -std::numeric_limits<T>::infinity();
        for (int64_t k = 0; k < dim; ++k) top = std::max(top, in[base + k * inner]);
        double sum = 0;
        for (int64_t k = 0; k < dim; ++k) sum += std::exp(static_cast<double>(in[base + k * inner] - top));
        for (int64_t k = 0; k < dim; ++k) {
          const T shifted = in[base + k * inner] - top;
          out[base + k * inner] = Log ? static_cast<T>(shifted - std::log(sum)) : static_cast<T>(std::exp(static_cast<double>(shifted)) / sum);
        }
      }
    }
    c.outputs[0] = std::move(y);
  });
}

// One at the first largest element along the axis, zero elsewhere; before operator set 13 the input
// is seen as a matrix [before axis, from axis on].
void hardmaxKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", c.opset >= 13 ? -1 : 1), x.rank());
  const auto& s = x.shape();
  const int64_t outer = product(s, 0, static_cast<size_t>(axis));
  int64_t dim = s[static_cast<size_t>(axis)];
  int64_t inner = product(s, static_cast<size_t>(axis) + 1, s.size());
  if (c.opset < 13) {
    dim *= inner;
    inner = 1;
  }
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), s);
    for (int64_t o = 0; o < outer; ++o) {
      for (int64_t i = 0; i < inner; ++i) {
        if (dim == 0) continue;
        const T* in = x.data<T>() + o * dim * inner + i;
        int64_t best = 0;
        for (int64_t k = 1; k < dim; ++k) {
          if (in[k * inner] > in[best * inner]) best = k;
        }
        y.data<T>()[o * dim * inner + i + best * inner] = T(1);
      }
    }
    c.outputs[0] = std::move(y);
  });
}

void cumSumKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t axis = normalizeAxis(c, c.input(1).integerAt(0), x.rank());
  const bool exclusive = c.node.intAttribute("exclusive", 0) != 0;
  const bool reverse = c.node.intAttribute("reverse", 0) != 0;
  const auto& s = x.shape();
  const int64_t outer = product(s, 0, static_cast<size_t>(axis));
  const int64_t dim = s[static_cast<size_t>(axis)];
  const int64_t inner = product(s, static_cast<size_t>(axis) + 1, s.size());
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), s);
    for (int64_t o = 0; o < outer; ++o) {
      for (int64_t i = 0; i < inner; ++i) {
        T sum = 0;
        for (int64_t step = 0; step < dim; ++step) {
          const int64_t k = reverse ? dim - 1 - step : step;
          const int64_t at = (o * dim + k) * inner + i;
          const T v = x.data<T>()[at];
          if (exclusive) {
            y.data<T>()[at] = sum;
            sum += v;
          } else {
            sum += v;
            y.data<T>()[at] = sum;
          }
        }
      }
    }
    c.outputs[0] = std::move(y);
  });
}

void topKKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", -1), x.rank());
  const int64_t k = c.opset >= 10 ? c.input(1).integerAt(0) : c.node.intAttribute("k", 0);
  const bool largest = c.node.intAttribute("largest", 1) != 0;
  const auto& s = x.shape();
  const int64_t outer = product(s, 0, static_cast<size_t>(axis));
  const int64_t dim = s[static_cast<size_t>(axis)];
  const int64_t inner = product(s, static_cast<size_t>(axis) + 1, s.size());
  if (k < 0 || k > dim) c.fail(fmt::format("asks for {} of {} elements", k, dim));
  Shape outShape = s;
  outShape[static_cast<size_t>(axis)] = k;
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor values(x.type(), outShape);
    Tensor indices(ElementType::int64, outShape);
    std::vector<int64_t> order(static_cast<size_t>(dim));
    for (int64_t o = 0; o < outer; ++o) {
      for (int64_t i = 0; i < inner; ++i) {
        const T* in = x.data<T>() + o * dim * inner + i;
        std::iota(order.begin(), order.end(), 0);
        // Equal values keep the lower index first.
        std::stable_sort(order.begin(), order.end(), [&](int64_t p, int64_t q) {
          return largest ? in[p * inner] > in[q * inner] : in[p * inner] < in[q * inner];
        });
        for (int64_t j = 0; j < k; ++j) {
          const int64_t at = (o * k + j) * inner + i;
          values.data<T>()[at] = in[order[static_cast<size_t>(j)] * inner];
          indices.data<int64_t>()[at] = order[static_cast<size_t>(j)];
        }
      }
    }
    c.outputs[0] = std::move(values);
    if (c.wantsOutput(1)) c.outputs[1] = std::move(indices);
  });
}

}  // namespace

void addReductionOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"ReduceSum", {reduceKernel<Reduction::sum>}},
      {"ReduceMean", {reduceKernel<Reduction::mean>}},
      {"ReduceMax", {reduceKernel<Reduction::max>}},
      {"ReduceMin", {reduceKernel<Reduction::min>}},
      {"ReduceProd", {reduceKernel<Reduction::prod>}},
      {"ReduceL1", {reduceKernel<Reduction::l1>}},
      {"ReduceL2", {reduceKernel<Reduction::l2>}},
      {"ReduceSumSquare", {reduceKernel<Reduction::sumSquare>}},
      {"ReduceLogSum", {reduceKernel<Reduction::logSum>}},
      {"ReduceLogSumExp", {reduceKernel<Reduction::logSumExp>}},
      {"Hardmax", {hardmaxKernel}},
      {"ArgMax", {argKernel<true>}},
      {"ArgMin", {argKernel<false>}},
      {"Softmax", {softmaxKernel<false>}},
      {"LogSoftmax", {softmaxKernel<true>}},
      {"CumSum", {cumSumKernel}},
      {"TopK", {topKKernel}},
  });
}

}  // namespace platform::ml
