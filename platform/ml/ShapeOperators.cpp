// Kernels that only move, select or describe elements, and Cast. They work on the element bytes, so
// every element type (float16 included) passes through unchanged; those marked so move strings too.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "platform/ml/Float16.h"
#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

const std::vector<int64_t>& requiredInts(const KernelContext& c, const char* name) {
  const auto* values = c.node.intsAttribute(name);
  if (values == nullptr) c.fail(fmt::format("needs attribute '{}'", name));
  return *values;
}

// Passes tensors, sequences and optionals alike.
void identityKernel(KernelContext& c) {
  const Value* value = c.valueInput(0);
  if (value == nullptr) c.fail("needs input 0");
  c.valueOutputs[0] = *value;
}

void reshapeKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  std::vector<int64_t> requested = c.opset >= 5 ? c.input(1).integers() : listFromInputOrAttribute(c, 1, "shape");
  const bool allowZero = c.node.intAttribute("allowzero", 0) != 0;
  Shape shape(requested.size());
  int64_t inferred = -1;
  int64_t known = 1;
  for (size_t i = 0; i < requested.size(); ++i) {
    int64_t d = requested[i];
    if (d == 0 && !allowZero) {
      if (i >= data.shape().size()) c.fail("copies a dimension the input lacks");
      d = data.shape()[i];
    }
    if (d == -1) {
      if (inferred >= 0) c.fail("infers more than one dimension");
      inferred = static_cast<int64_t>(i);
      continue;
    }
    if (d < 0) c.fail(fmt::format("asks for dimension {}", d));
    shape[i] = d;
    known *= d;
  }
  if (inferred >= 0) {
    if (known == 0 || data.count() % known != 0) c.fail(fmt::format("cannot reshape {} to {}", shapeText(data.shape()), shapeText(requested)));
    shape[static_cast<size_t>(inferred)] = data.count() / known;
  }
  if (shapeCount(shape) != data.count()) c.fail(fmt::format("cannot reshape {} to {}", shapeText(data.shape()), shapeText(shape)));
  c.outputs[0] = data.reshaped(shape);
}

void flattenKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const int64_t rank = data.rank();
  int64_t axis = c.node.intAttribute("axis", 1);
  if (axis < 0) axis += rank;
  if (axis < 0 || axis > rank) c.fail(fmt::format("axis {} is outside rank {}", c.node.intAttribute("axis", 1), rank));
  const auto& s = data.shape();
  c.outputs[0] = data.reshaped({product(s, 0, static_cast<size_t>(axis)), product(s, static_cast<size_t>(axis), s.size())});
}

void squeezeKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const int64_t rank = data.rank();
  bool present = false;
  const auto axes = listFromInputOrAttribute(c, 1, "axes", &present);
  std::vector<bool> drop(static_cast<size_t>(rank), false);
  if (!present) {
    for (int64_t i = 0; i < rank; ++i) drop[static_cast<size_t>(i)] = data.shape()[static_cast<size_t>(i)] == 1;
  }
  for (int64_t a : axes) {
    const int64_t axis = normalizeAxis(c, a, rank);
    if (data.shape()[static_cast<size_t>(axis)] != 1) c.fail(fmt::format("cannot squeeze axis {} of size {}", a, data.shape()[static_cast<size_t>(axis)]));
    drop[static_cast<size_t>(axis)] = true;
  }
  Shape shape;
  for (int64_t i = 0; i < rank; ++i) {
    if (!drop[static_cast<size_t>(i)]) shape.push_back(data.shape()[static_cast<size_t>(i)]);
  }
  c.outputs[0] = data.reshaped(shape);
}

void unsqueezeKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const auto axes = listFromInputOrAttribute(c, 1, "axes");
  const int64_t rank = data.rank() + static_cast<int64_t>(axes.size());
  std::vector<bool> inserted(static_cast<size_t>(rank), false);
  for (int64_t a : axes) {
    const int64_t axis = normalizeAxis(c, a, rank);
    if (inserted[static_cast<size_t>(axis)]) c.fail(fmt::format("repeats axis {}", a));
    inserted[static_cast<size_t>(axis)] = true;
  }
  Shape shape;
  size_t next = 0;
  for (int64_t i = 0; i < rank; ++i) shape.push_back(inserted[static_cast<size_t>(i)] ? 1 : data.shape()[next++]);
  c.outputs[0] = data.reshaped(shape);
}

// Copies `source` into a new tensor of `outShape`, reading element i of the output at the offset
// that `strides` (in source elements, over the output's dimensions) give.
Tensor gatherStrided(const Tensor& source, const Shape& outShape, const std::vector<int64_t>& strides, int64_t base = 0) {
  Tensor result(source.type(), outShape, Tensor::Uninitialized{});
  const size_t size = elementByteSize(source.type());
  const std::byte* in = source.bytes();
  std::byte* out = result.bytes();
  if (size == 4) {
    broadcastLoop<1>(outShape, {strides}, [&](int64_t i, const std::array<int64_t, 1>& o) {
      std::memcpy(out + i * 4, in + (base + o[0]) * 4, 4);
    });
  } else {
    broadcastLoop<1>(outShape, {strides}, [&](int64_t i, const std::array<int64_t, 1>& o) {
      std::memcpy(out + static_cast<size_t>(i) * size, in + static_cast<size_t>(base + o[0]) * size, size);
    });
  }
  return result;
}

void transposeKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const size_t rank = data.shape().size();
  std::vector<int64_t> perm;
  if (const auto* p = c.node.intsAttribute("perm")) {
    perm = *p;
  } else {
    for (size_t i = rank; i-- > 0;) perm.push_back(static_cast<int64_t>(i));
  }
  if (perm.size() != rank) c.fail(fmt::format("has {} permutation entries for rank {}", perm.size(), rank));
  std::vector<bool> seen(rank, false);
  const auto inStrides = denseStrides(data.shape());
  Shape outShape(rank);
  std::vector<int64_t> strides(rank);
  for (size_t i = 0; i < rank; ++i) {
    const int64_t axis = perm[i];
    if (axis < 0 || axis >= static_cast<int64_t>(rank) || seen[static_cast<size_t>(axis)]) c.fail("has an invalid permutation");
    seen[static_cast<size_t>(axis)] = true;
    outShape[i] = data.shape()[static_cast<size_t>(axis)];
    strides[i] = inStrides[static_cast<size_t>(axis)];
  }
  c.outputs[0] = gatherStrided(data, outShape, strides);
}

void concatKernel(KernelContext& c) {
  if (c.inputCount() == 0) c.fail("needs at least one input");
  const Tensor& first = c.input(0);
  const int64_t rank = first.rank();
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 1), rank);
  Shape outShape = first.shape();
  outShape[static_cast<size_t>(axis)] = 0;
  for (size_t k = 0; k < c.inputCount(); ++k) {
    const Tensor& t = c.input(k);
    if (t.type() != first.type() || t.rank() != rank) c.fail("joins tensors of different types or ranks");
    for (int64_t d = 0; d < rank; ++d) {
      if (d != axis && t.shape()[static_cast<size_t>(d)] != first.shape()[static_cast<size_t>(d)]) {
        c.fail(fmt::format("cannot join {} and {}", shapeText(first.shape()), shapeText(t.shape())));
      }
    }
    outShape[static_cast<size_t>(axis)] += t.shape()[static_cast<size_t>(axis)];
  }
  Tensor result(first.type(), outShape, Tensor::Uninitialized{});
  const size_t size = elementByteSize(first.type());
  const int64_t outer = product(outShape, 0, static_cast<size_t>(axis));
  const int64_t inner = product(outShape, static_cast<size_t>(axis) + 1, outShape.size());
  const size_t outRow = static_cast<size_t>(outShape[static_cast<size_t>(axis)] * inner) * size;
  size_t offset = 0;
  if (first.type() == ElementType::string) {
    const int64_t outRowCount = outShape[static_cast<size_t>(axis)] * inner;
    int64_t at = 0;
    for (size_t k = 0; k < c.inputCount(); ++k) {
      const Tensor& t = c.input(k);
      const int64_t rowCount = t.shape()[static_cast<size_t>(axis)] * inner;
      for (int64_t o = 0; o < outer; ++o) result.copyElements(t, o * rowCount, o * outRowCount + at, rowCount);
      at += rowCount;
    }
    c.outputs[0] = std::move(result);
    return;
  }
  for (size_t k = 0; k < c.inputCount(); ++k) {
    const Tensor& t = c.input(k);
    const size_t row = static_cast<size_t>(t.shape()[static_cast<size_t>(axis)] * inner) * size;
    for (int64_t o = 0; o < outer; ++o) {
      std::memcpy(result.bytes() + static_cast<size_t>(o) * outRow + offset, t.bytes() + static_cast<size_t>(o) * row, row);
    }
    offset += row;
  }
  c.outputs[0] = std::move(result);
}

void sliceKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const int64_t rank = data.rank();
  std::vector<int64_t> starts, ends, axes, steps;
  if (c.opset < 10) {
    starts = requiredInts(c, "starts");
    ends = requiredInts(c, "ends");
    if (const auto* a = c.node.intsAttribute("axes")) axes = *a;
  } else {
    starts = c.input(1).integers();
    ends = c.input(2).integers();
    if (c.hasInput(3)) axes = c.input(3).integers();
    if (c.hasInput(4)) steps = c.input(4).integers();
  }
  if (axes.empty()) {
    axes.resize(starts.size());
    std::iota(axes.begin(), axes.end(), 0);
  }
  if (steps.empty()) steps.assign(starts.size(), 1);
  if (ends.size() != starts.size() || axes.size() != starts.size() || steps.size() != starts.size()) {
    c.fail("has starts, ends, axes and steps of different lengths");
  }
  Shape outShape = data.shape();
  const auto inStrides = denseStrides(data.shape());
  std::vector<int64_t> strides = inStrides;
  int64_t base = 0;
  for (size_t k = 0; k < starts.size(); ++k) {
    const int64_t axis = normalizeAxis(c, axes[k], rank);
    const int64_t dim = data.shape()[static_cast<size_t>(axis)];
    const int64_t step = steps[k];
    if (step == 0) c.fail("has a step of 0");
    int64_t start = starts[k];
    int64_t end = ends[k];
    if (start < 0) start += dim;
    if (end < 0) end += dim;
    if (step > 0) {
      start = std::clamp<int64_t>(start, 0, dim);
      end = std::clamp<int64_t>(end, 0, dim);
    } else {
      start = std::clamp<int64_t>(start, 0, dim - 1);
      end = std::clamp<int64_t>(end, -1, dim - 1);
    }
    int64_t count = 0;
    if (step > 0 && end > start) count = (end - start + step - 1) / step;
    if (step < 0 && start > end) count = (start - end + (-step) - 1) / (-step);
    outShape[static_cast<size_t>(axis)] = count;
    if (count > 0) base += start * inStrides[static_cast<size_t>(axis)];
    strides[static_cast<size_t>(axis)] = inStrides[static_cast<size_t>(axis)] * step;
  }
  if (shapeCount(outShape) == 0) {
    c.outputs[0] = Tensor(data.type(), outShape);
    return;
  }
  c.outputs[0] = gatherStrided(data, outShape, strides, base);
}

void splitKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), data.rank());
  const int64_t dim = data.shape()[static_cast<size_t>(axis)];
  const size_t parts = c.node.outputs.size();
  std::vector<int64_t> sizes = c.opset >= 13 ? (c.hasInput(1) ? c.input(1).integers() : std::vector<int64_t>{})
                                             : listFromInputOrAttribute(c, 1, "split");
  const int64_t numOutputs = c.opset >= 18 ? c.node.intAttribute("num_outputs", 0) : 0;
  if (numOutputs != 0) {
    // From operator set 18 the parts are ceil(dim / n) long and the last takes what is left.
    if (!sizes.empty()) c.fail("has both split sizes and num_outputs");
    if (numOutputs < 0 || static_cast<size_t>(numOutputs) != parts) c.fail(fmt::format("has num_outputs {} but {} outputs", numOutputs, parts));
    const int64_t chunk = (dim + numOutputs - 1) / numOutputs;
    for (int64_t k = 0; k < numOutputs; ++k) sizes.push_back(std::clamp<int64_t>(dim - k * chunk, 0, chunk));
  } else if (sizes.empty()) {
    if (c.opset >= 18) c.fail("needs split sizes or num_outputs");
    if (parts == 0 || dim % static_cast<int64_t>(parts) != 0) c.fail(fmt::format("cannot split {} into {} equal parts", dim, parts));
    sizes.assign(parts, dim / static_cast<int64_t>(parts));
  }
  if (sizes.size() != parts || std::accumulate(sizes.begin(), sizes.end(), int64_t{0}) != dim) {
    c.fail("has split sizes that do not add up to the axis");
  }
  const auto inStrides = denseStrides(data.shape());
  int64_t start = 0;
  for (size_t k = 0; k < parts; ++k) {
    if (sizes[k] < 0) c.fail("has a negative split size");
    Shape shape = data.shape();
    shape[static_cast<size_t>(axis)] = sizes[k];
    if (c.wantsOutput(k)) {
      c.outputs[k] = shapeCount(shape) == 0 ? Tensor(data.type(), shape)
                                            : gatherStrided(data, shape, inStrides, start * inStrides[static_cast<size_t>(axis)]);
    }
    start += sizes[k];
  }
}

void gatherKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const Tensor& indices = c.input(1);
  const int64_t rank = data.rank();
  if (rank == 0) c.fail("cannot gather from a scalar");
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), rank);
  const int64_t dim = data.shape()[static_cast<size_t>(axis)];
  Shape outShape(data.shape().begin(), data.shape().begin() + axis);
  outShape.insert(outShape.end(), indices.shape().begin(), indices.shape().end());
  outShape.insert(outShape.end(), data.shape().begin() + axis + 1, data.shape().end());
  Tensor result(data.type(), outShape);
  const size_t size = elementByteSize(data.type());
  const int64_t outer = product(data.shape(), 0, static_cast<size_t>(axis));
  const int64_t inner = product(data.shape(), static_cast<size_t>(axis) + 1, data.shape().size());
  const size_t block = static_cast<size_t>(inner) * size;
  std::byte* out = result.bytes();
  for (int64_t o = 0; o < outer; ++o) {
    for (int64_t k = 0; k < indices.count(); ++k) {
      int64_t index = indices.integerAt(k);
      if (index < 0) index += dim;
      if (index < 0 || index >= dim) c.fail(fmt::format("index {} is outside an axis of {}", indices.integerAt(k), dim));
      if (data.type() == ElementType::string) {
        result.copyElements(data, (o * dim + index) * inner, (o * indices.count() + k) * inner, inner);
        continue;
      }
      std::memcpy(out, data.bytes() + static_cast<size_t>((o * dim + index) * inner) * size, block);
      out += block;
    }
  }
  c.outputs[0] = std::move(result);
}

void expandKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const Shape target = c.input(1).integers();
  const Shape out = broadcastShape(c, {&data.shape(), &target});
  c.outputs[0] = gatherStrided(data, out, broadcastStrides(data.shape(), out));
}

void tileKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const auto repeats = c.input(1).integers();
  if (static_cast<int64_t>(repeats.size()) != data.rank()) c.fail("needs one repeat count per dimension");
  // Tiling is a broadcast over an interleaved shape [r0, d0, r1, d1, ...] followed by a reshape.
  Shape wide, out;
  std::vector<int64_t> strides;
  const auto dense = denseStrides(data.shape());
  for (size_t i = 0; i < repeats.size(); ++i) {
    if (repeats[i] < 0) c.fail("has a negative repeat count");
    wide.push_back(repeats[i]);
    wide.push_back(data.shape()[i]);
    strides.push_back(0);
    strides.push_back(dense[i]);
    out.push_back(repeats[i] * data.shape()[i]);
  }
  c.outputs[0] = gatherStrided(data, wide, strides).reshaped(out);
}

void shapeKernel(KernelContext& c) {
  const Shape& shape = c.input(0).shape();
  const int64_t rank = static_cast<int64_t>(shape.size());
  int64_t start = c.node.intAttribute("start", 0);
  int64_t end = c.node.intAttribute("end", rank);
  if (start < 0) start += rank;
  if (end < 0) end += rank;
  start = std::clamp<int64_t>(start, 0, rank);
  end = std::clamp<int64_t>(end, 0, rank);
  const int64_t n = std::max<int64_t>(end - start, 0);
  Tensor result(ElementType::int64, {n});
  for (int64_t i = 0; i < n; ++i) result.data<int64_t>()[i] = shape[static_cast<size_t>(start + i)];
  c.outputs[0] = std::move(result);
}

void sizeKernel(KernelContext& c) {
  Tensor result(ElementType::int64, {});
  result.data<int64_t>()[0] = c.input(0).count();
  c.outputs[0] = std::move(result);
}

void constantKernel(KernelContext& c) {
  const Node& n = c.node;
  if (const Tensor* value = n.tensorAttribute("value")) {
    c.outputs[0] = *value;
  } else if (n.hasAttribute("value_float")) {
    Tensor t(ElementType::float32, {});
    t.data<float>()[0] = n.floatAttribute("value_float", 0);
    c.outputs[0] = t;
  } else if (const auto* floats = n.floatsAttribute("value_floats")) {
    Tensor t(ElementType::float32, {static_cast<int64_t>(floats->size())});
    std::copy(floats->begin(), floats->end(), t.data<float>());
    c.outputs[0] = t;
  } else if (n.hasAttribute("value_int")) {
    Tensor t(ElementType::int64, {});
    t.data<int64_t>()[0] = n.intAttribute("value_int", 0);
    c.outputs[0] = t;
  } else if (const auto* ints = n.intsAttribute("value_ints")) {
    Tensor t(ElementType::int64, {static_cast<int64_t>(ints->size())});
    std::copy(ints->begin(), ints->end(), t.data<int64_t>());
    c.outputs[0] = t;
  } else if (n.hasAttribute("value_string")) {
    Tensor t(ElementType::string, {});
    t.data<std::string>()[0] = n.stringAttribute("value_string", "");
    c.outputs[0] = t;
  } else if (n.hasAttribute("value_strings")) {
    const auto& strings = n.attributes.at("value_strings").strings;
    Tensor t(ElementType::string, {static_cast<int64_t>(strings.size())});
    std::copy(strings.begin(), strings.end(), t.data<std::string>());
    c.outputs[0] = t;
  } else {
    c.fail("has no value");
  }
}

void constantOfShapeKernel(KernelContext& c) {
  const Shape shape = c.input(0).integers();
  const Tensor* value = c.node.tensorAttribute("value");
  Tensor result(value ? value->type() : ElementType::float32, shape);
  if (value != nullptr) {
    if (value->count() != 1) c.fail("needs a one-element value");
    const size_t size = elementByteSize(value->type());
    for (int64_t i = 0; i < result.count(); ++i) std::memcpy(result.bytes() + static_cast<size_t>(i) * size, value->bytes(), size);
  }
  c.outputs[0] = std::move(result);
}

void rangeKernel(KernelContext& c) {
  const Tensor& start = c.input(0);
  dispatchNumeric(c, start.type(), [&](auto tag) {
    using T = decltype(tag);
    const T first = start.data<T>()[0];
    const T limit = c.input(1).data<T>()[0];
    const T delta = c.input(2).data<T>()[0];
    if (delta == T(0)) c.fail("has a delta of 0");
    const double steps = std::ceil((static_cast<double>(limit) - static_cast<double>(first)) / static_cast<double>(delta));
    if (steps > 1e9) c.fail("would make more than 1e9 elements");
    const int64_t n = std::max<int64_t>(static_cast<int64_t>(steps), 0);
    Tensor result(start.type(), {n});
    for (int64_t i = 0; i < n; ++i) result.data<T>()[i] = static_cast<T>(first + static_cast<T>(i) * delta);
    c.outputs[0] = std::move(result);
  });
}

template <class To>
To castValue(double v) {
  if constexpr (std::is_same_v<To, bool>) {
    return v != 0.0;
  } else if constexpr (std::is_integral_v<To>) {
    if (std::isnan(v)) return To(0);
    if (v <= static_cast<double>(std::numeric_limits<To>::lowest())) return std::numeric_limits<To>::lowest();
    if (v >= static_cast<double>(std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    return static_cast<To>(v);
  } else {
    return static_cast<To>(v);
  }
}

template <class From, class To>
void castElements(const Tensor& x, Tensor& y) {
  const From* in = x.data<From>();
  To* out = y.data<To>();
  for (int64_t i = 0; i < x.count(); ++i) {
    if constexpr (std::is_integral_v<From> && std::is_integral_v<To> && !std::is_same_v<To, bool>) {
      out[i] = static_cast<To>(in[i]);
    } else {
      out[i] = castValue<To>(static_cast<double>(in[i]));
    }
  }
}

// The shortest text that reads back as the same value ("0.47892547" for a float32).
template <class From>
std::string numberText(From v) {
  if constexpr (std::is_same_v<From, bool>) {
    return v ? "1" : "0";
  } else {
    if constexpr (std::is_floating_point_v<From>) {
      if (std::isnan(v)) return "NaN";
      if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), v);
    return std::string(buffer, result.ptr);
  }
}

// Decimal text, "NaN" and "INF" with an optional sign, in any case; nothing else may follow.
double numberFromText(const KernelContext& c, const std::string& text) {
  std::string_view view(text);
  bool negative = false;
  if (!view.empty() && (view.front() == '+' || view.front() == '-')) {
    negative = view.front() == '-';
    view.remove_prefix(1);
  }
  double value = 0;
  const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
  if (view.empty() || view.front() == '+' || view.front() == '-' || result.ec != std::errc() ||
      result.ptr != view.data() + view.size()) {
    if (result.ec == std::errc::result_out_of_range && result.ptr == view.data() + view.size()) {
      return negative ? -value : value;
    }
    c.fail(fmt::format("cannot read \"{}\" as a number", text.size() > 64 ? text.substr(0, 64) + "..." : text));
  }
  return negative ? -value : value;
}

template <class From>
void castFrom(const Tensor& x, Tensor& y) {
  switch (y.type()) {
    case ElementType::float32: castElements<From, float>(x, y); break;
    case ElementType::float64: castElements<From, double>(x, y); break;
    case ElementType::int32: castElements<From, int32_t>(x, y); break;
    case ElementType::int64: castElements<From, int64_t>(x, y); break;
    case ElementType::bool_: castElements<From, bool>(x, y); break;
    case ElementType::int8: castElements<From, int8_t>(x, y); break;
    case ElementType::uint8: castElements<From, uint8_t>(x, y); break;
    case ElementType::int16: castElements<From, int16_t>(x, y); break;
    case ElementType::uint16: castElements<From, uint16_t>(x, y); break;
    case ElementType::uint32: castElements<From, uint32_t>(x, y); break;
    case ElementType::uint64: castElements<From, uint64_t>(x, y); break;
    case ElementType::string:
      for (int64_t i = 0; i < x.count(); ++i) y.data<std::string>()[i] = numberText(x.data<From>()[i]);
      break;
    default: break;
  }
}

// Strings read as double first, then take the target type as numbers do.
void castFromStrings(const KernelContext& c, const Tensor& x, Tensor& y) {
  Tensor numbers(ElementType::float64, x.shape());
  for (int64_t i = 0; i < x.count(); ++i) numbers.data<double>()[i] = numberFromText(c, x.data<std::string>()[i]);
  if (y.type() == ElementType::float32) {
    // Through double, "0.47892547" could round twice; float parsing gives the nearest float32.
    for (int64_t i = 0; i < x.count(); ++i) {
      const std::string& text = x.data<std::string>()[i];
      float value = 0;
      std::string_view view(text);
      const bool negative = !view.empty() && view.front() == '-';
      if (!view.empty() && (view.front() == '+' || view.front() == '-')) view.remove_prefix(1);
      const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
      y.data<float>()[i] = result.ec == std::errc() ? (negative ? -value : value) : static_cast<float>(numbers.data<double>()[i]);
    }
    return;
  }
  castFrom<double>(numbers, y);
}

// Float16 crosses through float32, which holds every half value exactly.
void castTo(KernelContext& c, ElementType to);

void castKernel(KernelContext& c) { castTo(c, static_cast<ElementType>(c.node.intAttribute("to", 0))); }

void castLikeKernel(KernelContext& c) { castTo(c, c.input(1).type()); }

void castTo(KernelContext& c, ElementType to) {
  Tensor x = c.input(0);
  if (!isSupportedElementType(to)) c.fail(fmt::format("cannot cast to {}", elementTypeName(to)));
  if (x.type() == to) {
    c.outputs[0] = x;
    return;
  }
  if (x.type() == ElementType::float16) {
    Tensor wide(ElementType::float32, x.shape());
    convertFloat16ToFloat(x.data<uint16_t>(), wide.data<float>(), static_cast<size_t>(x.count()));
    x = wide;
    if (to == ElementType::float32) {
      c.outputs[0] = x;
      return;
    }
  }
  const ElementType target = to == ElementType::float16 ? ElementType::float32 : to;
  Tensor y(target, x.shape());
  if (x.type() != target) {
    switch (x.type()) {
      case ElementType::float32: castFrom<float>(x, y); break;
      case ElementType::float64: castFrom<double>(x, y); break;
      case ElementType::int32: castFrom<int32_t>(x, y); break;
      case ElementType::int64: castFrom<int64_t>(x, y); break;
      case ElementType::bool_: castFrom<bool>(x, y); break;
      case ElementType::int8: castFrom<int8_t>(x, y); break;
      case ElementType::uint8: castFrom<uint8_t>(x, y); break;
      case ElementType::int16: castFrom<int16_t>(x, y); break;
      case ElementType::uint16: castFrom<uint16_t>(x, y); break;
      case ElementType::uint32: castFrom<uint32_t>(x, y); break;
      case ElementType::uint64: castFrom<uint64_t>(x, y); break;
      case ElementType::string: castFromStrings(c, x, y); break;
      default: c.fail(fmt::format("cannot cast from {}", elementTypeName(x.type())));
    }
  } else {
    y = x;
  }
  if (to == ElementType::float16) {
    Tensor narrow(ElementType::float16, y.shape());
    convertFloatToFloat16(y.data<float>(), narrow.data<uint16_t>(), static_cast<size_t>(y.count()));
    y = narrow;
  }
  c.outputs[0] = std::move(y);
}

// Keeps the upper (or lower) triangle of each trailing matrix, from diagonal k on.
void triluKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  if (x.rank() < 2) c.fail("needs a tensor of rank 2 or more");
  const bool upper = c.node.intAttribute("upper", 1) != 0;
  const int64_t k = c.hasInput(1) ? c.input(1).integerAt(0) : 0;
  const int64_t rows = x.shape()[x.shape().size() - 2], columns = x.shape().back();
  const size_t size = elementByteSize(x.type());
  Tensor y(x.type(), x.shape());
  for (int64_t i = 0; i < x.count(); ++i) {
    const int64_t column = i % columns, row = (i / columns) % rows;
    const bool keep = upper ? column - row >= k : column - row <= k;
    if (keep) std::memcpy(y.bytes() + static_cast<size_t>(i) * size, x.bytes() + static_cast<size_t>(i) * size, size);
  }
  c.outputs[0] = std::move(y);
}

void gatherElementsKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const Tensor& indices = c.input(1);
  const int64_t rank = data.rank();
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), rank);
  if (indices.rank() != rank) c.fail("needs indices of the data's rank");
  const size_t size = elementByteSize(data.type());
  const auto dataStrides = denseStrides(data.shape());
  const int64_t dim = data.shape()[static_cast<size_t>(axis)];
  Tensor y(data.type(), indices.shape());
  std::vector<int64_t> index(static_cast<size_t>(rank), 0);
  for (int64_t i = 0; i < indices.count(); ++i) {
    int64_t offset = 0;
    for (int64_t d = 0; d < rank; ++d) {
      int64_t at = index[static_cast<size_t>(d)];
      if (d == axis) {
        at = indices.integerAt(i);
        if (at < 0) at += dim;
        if (at < 0 || at >= dim) c.fail(fmt::format("index {} is outside an axis of {}", indices.integerAt(i), dim));
      } else if (at >= data.shape()[static_cast<size_t>(d)]) {
        c.fail("has indices larger than the data");
      }
      offset += at * dataStrides[static_cast<size_t>(d)];
    }
    std::memcpy(y.bytes() + static_cast<size_t>(i) * size, data.bytes() + static_cast<size_t>(offset) * size, size);
    for (int64_t d = rank; d-- > 0;) {
      if (++index[static_cast<size_t>(d)] < indices.shape()[static_cast<size_t>(d)]) break;
      index[static_cast<size_t>(d)] = 0;
    }
  }
  c.outputs[0] = std::move(y);
}

void padKernel(KernelContext& c) {
  const Tensor& data = c.input(0);
  const int64_t rank = data.rank();
  std::vector<int64_t> pads = c.opset >= 11 ? c.input(1).integers() : requiredInts(c, "pads");
  // From operator set 18 an `axes` input says which axes the pads are for; the others stay as they are.
  if (c.opset >= 18 && c.hasInput(3)) {
    const auto axes = normalizeAxes(c, axesInput(c, 3), rank);
    if (pads.size() != 2 * axes.size()) c.fail(fmt::format("has {} pads for {} axes", pads.size(), axes.size()));
    std::vector<int64_t> full(static_cast<size_t>(2 * rank), 0);
    for (size_t k = 0; k < axes.size(); ++k) {
      full[static_cast<size_t>(axes[k])] = pads[k];
      full[static_cast<size_t>(axes[k] + rank)] = pads[k + axes.size()];
    }
    pads = std::move(full);
  }
  if (static_cast<int64_t>(pads.size()) != 2 * rank) c.fail(fmt::format("has {} pads for rank {}", pads.size(), rank));
  const std::string mode = c.node.stringAttribute("mode", "constant");
  const bool knownMode = mode == "constant" || mode == "reflect" || mode == "edge" || (mode == "wrap" && c.opset >= 19);
  if (!knownMode) c.fail(fmt::format("has unknown mode '{}'", mode));
  const size_t size = elementByteSize(data.type());
  std::vector<std::byte> fill(size);
  if (c.opset >= 11 && c.hasInput(2) && c.input(2).count() > 0) {
    if (c.input(2).type() != data.type()) c.fail("has a pad value of another type");
    std::memcpy(fill.data(), c.input(2).bytes(), size);
  } else if (c.opset < 11) {
    const float value = c.node.floatAttribute("value", 0.0f);
    if (data.type() == ElementType::float32) std::memcpy(fill.data(), &value, size);
    else if (data.type() == ElementType::float64) { const double v = value; std::memcpy(fill.data(), &v, size); }
  }
  Shape outShape(static_cast<size_t>(rank));
  for (int64_t d = 0; d < rank; ++d) {
    outShape[static_cast<size_t>(d)] = data.shape()[static_cast<size_t>(d)] + pads[static_cast<size_t>(d)] + pads[static_cast<size_t>(d + rank)];
    if (outShape[static_cast<size_t>(d)] < 0) c.fail("crops more than the tensor holds");
    if (mode != "constant" && data.shape()[static_cast<size_t>(d)] == 0 && outShape[static_cast<size_t>(d)] > 0) c.fail("cannot reflect or extend an empty axis");
  }
  Tensor result(data.type(), outShape);
  const auto inStrides = denseStrides(data.shape());
  std::vector<int64_t> index(static_cast<size_t>(rank), 0);
  for (int64_t i = 0; i < result.count(); ++i) {
    int64_t offset = 0;
    bool inside = true;
    for (int64_t d = 0; d < rank; ++d) {
      const int64_t dim = data.shape()[static_cast<size_t>(d)];
      int64_t source = index[static_cast<size_t>(d)] - pads[static_cast<size_t>(d)];
      if (source < 0 || source >= dim) {
        if (mode == "constant") {
          inside = false;
          break;
        } else if (mode == "edge") {
          source = std::clamp<int64_t>(source, 0, dim - 1);
        } else if (mode == "wrap") {
          source = ((source % dim) + dim) % dim;
        } else if (dim == 1) {
          source = 0;
        } else {
          const int64_t period = 2 * (dim - 1);
          source = ((source % period) + period) % period;
          if (source >= dim) source = period - source;
        }
      }
      offset += source * inStrides[static_cast<size_t>(d)];
    }
    std::memcpy(result.bytes() + static_cast<size_t>(i) * size, inside ? data.bytes() + static_cast<size_t>(offset) * size : fill.data(), size);
    for (int64_t d = rank; d-- > 0;) {
      if (++index[static_cast<size_t>(d)] < outShape[static_cast<size_t>(d)]) break;
      index[static_cast<size_t>(d)] = 0;
    }
  }
  c.outputs[0] = std::move(result);
}

}  // namespace

void addShapeOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"Identity", {identityKernel, false, true, nullptr, true}},
      {"Reshape", {reshapeKernel, false, false, nullptr, true}},
      {"Flatten", {flattenKernel, false, false, nullptr, true}},
      {"Squeeze", {squeezeKernel, false, false, nullptr, true}},
      {"Unsqueeze", {unsqueezeKernel, false, false, nullptr, true}},
      {"Transpose", {transposeKernel, false}},
      {"Concat", {concatKernel, false, false, nullptr, true}},
      {"Slice", {sliceKernel, false}},
      {"Split", {splitKernel, false}},
      {"Gather", {gatherKernel, false, false, nullptr, true}},
      {"Expand", {expandKernel, false}},
      {"Tile", {tileKernel, false}},
      {"Shape", {shapeKernel, false, false, nullptr, true}},
      {"Size", {sizeKernel, false, false, nullptr, true}},
      {"Constant", {constantKernel, false, false, nullptr, true}},
      {"ConstantOfShape", {constantOfShapeKernel, false}},
      {"Range", {rangeKernel}},
      {"Cast", {castKernel, false, false, nullptr, true}},
      {"CastLike", {castLikeKernel, false, false, nullptr, true}},
      {"Trilu", {triluKernel, false}},
      {"GatherElements", {gatherElementsKernel, false}},
      {"Pad", {padKernel, false}},
  });
}

}  // namespace platform::ml
