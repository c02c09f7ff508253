// Element-wise kernels: unary functions, broadcasting arithmetic and comparisons, Where, Clip.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

template <class T>
T wrapAdd(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<std::make_unsigned_t<T>>(a) + static_cast<std::make_unsigned_t<T>>(b));
  else return a + b;
}
template <class T>
T wrapSub(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<std::make_unsigned_t<T>>(a) - static_cast<std::make_unsigned_t<T>>(b));
  else return a - b;
}
template <class T>
T wrapMul(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<std::make_unsigned_t<T>>(a) * static_cast<std::make_unsigned_t<T>>(b));
  else return a * b;
}

// ---- unary ----------------------------------------------------------------------------------

template <class Op>
void unaryFloating(KernelContext& c) {
  const Tensor& x = c.input(0);
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), x.shape(), Tensor::Uninitialized{});
    const T* in = x.data<T>();
    T* out = y.data<T>();
    Op op{c.node};
    for (int64_t i = 0; i < x.count(); ++i) out[i] = op(in[i]);
    c.outputs[0] = std::move(y);
  });
}

template <class Op>
void unaryNumeric(KernelContext& c) {
  const Tensor& x = c.input(0);
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), x.shape(), Tensor::Uninitialized{});
    const T* in = x.data<T>();
    T* out = y.data<T>();
    Op op{c.node};
    for (int64_t i = 0; i < x.count(); ++i) out[i] = op(in[i]);
    c.outputs[0] = std::move(y);
  });
}

#define VELTO_UNARY(Name, expr)                    \
  struct Name {                                    \
    const Node& node;                              \
    template <class T>                             \
    T operator()(T v) const {                      \
      return static_cast<T>(expr);                 \
    }                                              \
  };

VELTO_UNARY(NegOp, wrapSub(T(0), v))
VELTO_UNARY(AbsOp, isNegative(v) ? wrapSub(T(0), v) : v)
VELTO_UNARY(ReluOp, v > T(0) ? v : T(0))
VELTO_UNARY(SignOp, v > T(0) ? 1 : (isNegative(v) ? -1 : 0))
VELTO_UNARY(SigmoidOp, v >= T(0) ? T(1) / (T(1) + std::exp(-v)) : std::exp(v) / (T(1) + std::exp(v)))
VELTO_UNARY(TanhOp, std::tanh(v))
VELTO_UNARY(ExpOp, std::exp(v))
VELTO_UNARY(LogOp, std::log(v))
VELTO_UNARY(SqrtOp, std::sqrt(v))
VELTO_UNARY(ReciprocalOp, T(1) / v)
VELTO_UNARY(FloorOp, std::floor(v))
VELTO_UNARY(CeilOp, std::ceil(v))
VELTO_UNARY(ErfOp, std::erf(v))
VELTO_UNARY(SinOp, std::sin(v))
VELTO_UNARY(CosOp, std::cos(v))
VELTO_UNARY(SoftplusOp, v > T(20) ? v : std::log1p(std::exp(v)))
#undef VELTO_UNARY

struct SeluOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    const T gamma = static_cast<T>(node.floatAttribute("gamma", 1.05070102214813232421875f));
    const T alpha = static_cast<T>(node.floatAttribute("alpha", 1.67326319217681884765625f));
    return v > T(0) ? gamma * v : gamma * (alpha * std::exp(v) - alpha);
  }
};

struct ThresholdedReluOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    return v > static_cast<T>(node.floatAttribute("alpha", 1.0f)) ? v : T(0);
  }
};

struct SoftsignOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    return v / (T(1) + std::abs(v));
  }
};

void isNaNKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  Tensor y(ElementType::bool_, x.shape());
  for (int64_t i = 0; i < x.count(); ++i) y.data<bool>()[i] = std::isnan(x.doubleAt(i));
  c.outputs[0] = std::move(y);
}

void isInfKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const bool negative = c.node.intAttribute("detect_negative", 1) != 0;
  const bool positive = c.node.intAttribute("detect_positive", 1) != 0;
  Tensor y(ElementType::bool_, x.shape());
  for (int64_t i = 0; i < x.count(); ++i) {
    const double v = x.doubleAt(i);
    y.data<bool>()[i] = std::isinf(v) && ((v > 0 && positive) || (v < 0 && negative));
  }
  c.outputs[0] = std::move(y);
}

struct LeakyReluOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    return v >= T(0) ? v : static_cast<T>(node.floatAttribute("alpha", 0.01f)) * v;
  }
};

struct EluOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    return v >= T(0) ? v : static_cast<T>(node.floatAttribute("alpha", 1.0f)) * (std::exp(v) - T(1));
  }
};

struct HardSigmoidOp {
  const Node& node;
  template <class T>
  T operator()(T v) const {
    const T y = static_cast<T>(node.floatAttribute("alpha", 0.2f)) * v + static_cast<T>(node.floatAttribute("beta", 0.5f));
    return std::max(T(0), std::min(T(1), y));
  }
};

void notKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  if (x.type() != ElementType::bool_) c.fail("needs a bool tensor");
  Tensor y(ElementType::bool_, x.shape());
  for (int64_t i = 0; i < x.count(); ++i) y.data<bool>()[i] = !x.data<bool>()[i];
  c.outputs[0] = std::move(y);
}

// ---- binary ---------------------------------------------------------------------------------

// True when `row`, without leading ones, equals the last dimensions of `out`.
bool isTrailingRow(const Shape& row, const Shape& out) {
  size_t first = 0;
  while (first < row.size() && row[first] == 1) ++first;
  const size_t length = row.size() - first;
  if (length == 0 || length > out.size()) return false;
  return std::equal(row.begin() + static_cast<std::ptrdiff_t>(first), row.end(), out.end() - static_cast<std::ptrdiff_t>(length));
}

template <class T, class Result, class Op>
Tensor broadcastBinary(const KernelContext& c, const Tensor& a, const Tensor& b, Op op) {
  const Shape out = broadcastShape(c, {&a.shape(), &b.shape()});
  Tensor y(elementTypeOf<Result>(), out, Tensor::Uninitialized{});
  const T* x0 = a.data<T>();
  const T* x1 = b.data<T>();
  Result* r = y.data<Result>();
  if (a.shape() == b.shape()) {
    for (int64_t i = 0; i < y.count(); ++i) r[i] = op(x0[i], x1[i]);
  } else if (b.count() == 1) {
    const T s = x1[0];
    for (int64_t i = 0; i < y.count(); ++i) r[i] = op(x0[i], s);
  } else if (a.shape() == out && isTrailingRow(b.shape(), out)) {
    // A bias row added to every row: the common case in networks.
    const int64_t period = b.count();
    for (int64_t o = 0; o < y.count(); o += period) {
      for (int64_t j = 0; j < period; ++j) r[o + j] = op(x0[o + j], x1[j]);
    }
  } else {
    broadcastLoop<2>(out, {broadcastStrides(a.shape(), out), broadcastStrides(b.shape(), out)},
                     [&](int64_t i, const std::array<int64_t, 2>& o) { r[i] = op(x0[o[0]], x1[o[1]]); });
  }
  return y;
}

void requireSameType(const KernelContext& c, const Tensor& a, const Tensor& b) {
  if (a.type() != b.type()) {
    c.fail(fmt::format("mixes {} and {} inputs", elementTypeName(a.type()), elementTypeName(b.type())));
  }
}

template <class T>
T safeDivide(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    // Integer division by zero or of the minimum by -1 would trap.
    if (b == 0) return 0;
    if constexpr (std::is_signed_v<T>) {
      if (b == -1) return static_cast<T>(-static_cast<std::make_unsigned_t<T>>(a));
    }
  }
  return a / b;
}

template <int Kind>
void arithmetic(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  requireSameType(c, a, b);
  dispatchNumeric(c, a.type(), [&](auto tag) {
    using T = decltype(tag);
    c.outputs[0] = broadcastBinary<T, T>(c, a, b, [](T x, T y) {
      if constexpr (Kind == 0) return wrapAdd(x, y);
      else if constexpr (Kind == 1) return wrapSub(x, y);
      else if constexpr (Kind == 2) return wrapMul(x, y);
      else return safeDivide(x, y);
    });
  });
}

template <class T>
T castFromDouble(double v) {
  if constexpr (std::is_integral_v<T>) {
    if (!(v > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
          v < static_cast<double>(std::numeric_limits<T>::max()) + 1.0)) {
      return std::isnan(v) ? T(0) : (v > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min());
    }
  }
  return static_cast<T>(v);
}

// Pow lets the exponent have another numeric type than the base; the result has the base's type.
void powKernel(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  const Shape out = broadcastShape(c, {&a.shape(), &b.shape()});
  dispatchNumeric(c, a.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(a.type(), out);
    T* r = y.data<T>();
    const T* base = a.data<T>();
    broadcastLoop<2>(out, {broadcastStrides(a.shape(), out), broadcastStrides(b.shape(), out)},
                     [&](int64_t i, const std::array<int64_t, 2>& o) {
                       if constexpr (std::is_same_v<T, float>) {
                         r[i] = std::pow(base[o[0]], static_cast<float>(b.doubleAt(o[1])));
                       } else {
                         r[i] = castFromDouble<T>(std::pow(static_cast<double>(base[o[0]]), b.doubleAt(o[1])));
                       }
                     });
    c.outputs[0] = std::move(y);
  });
}

template <int Kind>
void comparison(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  requireSameType(c, a, b);
  auto run = [&](auto tag) {
    using T = decltype(tag);
    c.outputs[0] = broadcastBinary<T, bool>(c, a, b, [](T x, T y) {
      if constexpr (Kind == 0) return x == y;
      else if constexpr (Kind == 1) return x > y;
      else if constexpr (Kind == 2) return x < y;
      else if constexpr (Kind == 3) return x >= y;
      else return x <= y;
    });
  };
  if (a.type() == ElementType::bool_) run(bool{});
  else dispatchNumeric(c, a.type(), run);
}

template <int Kind>
void logical(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  if (a.type() != ElementType::bool_ || b.type() != ElementType::bool_) c.fail("needs bool tensors");
  c.outputs[0] = broadcastBinary<bool, bool>(c, a, b, [](bool x, bool y) {
    if constexpr (Kind == 0) return x && y;
    else if constexpr (Kind == 1) return x || y;
    else return x != y;
  });
}

// Min, Max, Sum and Mean over any number of broadcast inputs.
template <int Kind>
void variadic(KernelContext& c) {
  if (c.inputCount() == 0) c.fail("needs at least one input");
  const Tensor& first = c.input(0);
  dispatchNumeric(c, first.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor acc = first;
    for (size_t k = 1; k < c.inputCount(); ++k) {
      const Tensor& next = c.input(k);
      requireSameType(c, first, next);
      acc = broadcastBinary<T, T>(c, acc, next, [](T x, T y) {
        if constexpr (Kind == 0) return (std::isnan(static_cast<double>(x)) || x < y) ? x : y;
        else if constexpr (Kind == 1) return (std::isnan(static_cast<double>(x)) || x > y) ? x : y;
        else return wrapAdd(x, y);
      });
    }
    if (acc.bytes() == first.bytes()) {
      Tensor copy(first.type(), first.shape());
      std::memcpy(copy.bytes(), first.bytes(), first.byteSize());
      acc = copy;
    }
    if constexpr (Kind == 3) {
      for (int64_t i = 0; i < acc.count(); ++i) acc.data<T>()[i] = safeDivide(acc.data<T>()[i], static_cast<T>(c.inputCount()));
    }
    c.outputs[0] = std::move(acc);
  });
}

// Integer Mod takes the divisor's sign (as Python's %) unless fmod is set; floating Mod is C's fmod.
void modKernel(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  requireSameType(c, a, b);
  const bool fmod = c.node.intAttribute("fmod", 0) != 0;
  dispatchNumeric(c, a.type(), [&](auto tag) {
    using T = decltype(tag);
    if constexpr (std::is_floating_point_v<T>) {
      if (!fmod) c.fail("needs fmod=1 for floating-point inputs");
    }
    c.outputs[0] = broadcastBinary<T, T>(c, a, b, [fmod](T x, T y) {
      if constexpr (std::is_floating_point_v<T>) {
        return std::fmod(x, y);
      } else {
        if (y == 0) return T(0);
        if constexpr (std::is_signed_v<T>) {
          if (y == -1) return T(0);
        }
        T r = static_cast<T>(x % y);
        if (!fmod && r != 0 && (isNegative(r) != isNegative(y))) r = static_cast<T>(r + y);
        return r;
      }
    });
  });
}

// Where works on any element type: it only moves elements.
void whereKernel(KernelContext& c) {
  const Tensor& condition = c.input(0);
  const Tensor& x = c.input(1);
  const Tensor& y = c.input(2);
  if (condition.type() != ElementType::bool_) c.fail("needs a bool condition");
  requireSameType(c, x, y);
  const Shape out = broadcastShape(c, {&condition.shape(), &x.shape(), &y.shape()});
  Tensor result(x.type(), out);
  const bool* cond = condition.data<bool>();
  if (x.type() == ElementType::string) {
    broadcastLoop<3>(out,
                     {broadcastStrides(condition.shape(), out), broadcastStrides(x.shape(), out), broadcastStrides(y.shape(), out)},
                     [&](int64_t i, const std::array<int64_t, 3>& o) {
                       result.copyElements(cond[o[0]] ? x : y, cond[o[0]] ? o[1] : o[2], i, 1);
                     });
    c.outputs[0] = std::move(result);
    return;
  }
  const size_t size = elementByteSize(x.type());
  const std::byte* a = x.bytes();
  const std::byte* b = y.bytes();
  std::byte* r = result.bytes();
  broadcastLoop<3>(out,
                   {broadcastStrides(condition.shape(), out), broadcastStrides(x.shape(), out), broadcastStrides(y.shape(), out)},
                   [&](int64_t i, const std::array<int64_t, 3>& o) {
                     const std::byte* source = cond[o[0]] ? a + o[1] * size : b + o[2] * size;
                     std::memcpy(r + i * size, source, size);
                   });
  c.outputs[0] = std::move(result);
}

void clipKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  dispatchNumeric(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    T low = std::numeric_limits<T>::lowest();
    T high = std::numeric_limits<T>::max();
    if (c.opset < 11) {
      low = static_cast<T>(c.node.floatAttribute("min", -std::numeric_limits<float>::max()));
      high = static_cast<T>(c.node.floatAttribute("max", std::numeric_limits<float>::max()));
    } else {
      if (c.hasInput(1) && c.input(1).count() > 0) low = c.input(1).data<T>()[0];
      if (c.hasInput(2) && c.input(2).count() > 0) high = c.input(2).data<T>()[0];
    }
    Tensor y(x.type(), x.shape());
    for (int64_t i = 0; i < x.count(); ++i) {
      const T v = x.data<T>()[i];
      y.data<T>()[i] = low > high ? high : (v < low ? low : (v > high ? high : v));
    }
    c.outputs[0] = std::move(y);
  });
}

}  // namespace

void addElementwiseOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"Neg", {unaryNumeric<NegOp>}},
      {"Abs", {unaryNumeric<AbsOp>}},
      {"Relu", {unaryNumeric<ReluOp>}},
      {"Sign", {unaryNumeric<SignOp>}},
      {"Sigmoid", {unaryFloating<SigmoidOp>}},
      {"Tanh", {unaryFloating<TanhOp>}},
      {"Exp", {unaryFloating<ExpOp>}},
      {"Log", {unaryFloating<LogOp>}},
      {"Sqrt", {unaryFloating<SqrtOp>}},
      {"Reciprocal", {unaryFloating<ReciprocalOp>}},
      {"Floor", {unaryFloating<FloorOp>}},
      {"Ceil", {unaryFloating<CeilOp>}},
      {"Erf", {unaryFloating<ErfOp>}},
      {"Sin", {unaryFloating<SinOp>}},
      {"Cos", {unaryFloating<CosOp>}},
      {"Softplus", {unaryFloating<SoftplusOp>}},
      {"LeakyRelu", {unaryFloating<LeakyReluOp>}},
      {"Selu", {unaryFloating<SeluOp>}},
      {"ThresholdedRelu", {unaryFloating<ThresholdedReluOp>}},
      {"Softsign", {unaryFloating<SoftsignOp>}},
      {"IsNaN", {isNaNKernel, false}},
      {"IsInf", {isInfKernel, false}},
      {"Mod", {modKernel}},
      {"Elu", {unaryFloating<EluOp>}},
      {"HardSigmoid", {unaryFloating<HardSigmoidOp>}},
      {"Not", {notKernel, false}},
      {"Add", {arithmetic<0>}},
      {"Sub", {arithmetic<1>}},
      {"Mul", {arithmetic<2>}},
      {"Div", {arithmetic<3>}},
      {"Pow", {powKernel}},
      {"Equal", {comparison<0>}},
      {"Greater", {comparison<1>}},
      {"Less", {comparison<2>}},
      {"GreaterOrEqual", {comparison<3>}},
      {"LessOrEqual", {comparison<4>}},
      {"And", {logical<0>, false}},
      {"Or", {logical<1>, false}},
      {"Xor", {logical<2>, false}},
      {"Min", {variadic<0>}},
      {"Max", {variadic<1>}},
      {"Sum", {variadic<2>}},
      {"Mean", {variadic<3>}},
      {"Where", {whereKernel, false, false, nullptr, true}},
      {"Clip", {clipKernel}},
  });
}

}  // namespace platform::ml
