// Pooling over any number of spatial dimensions: MaxPool, AveragePool, GlobalMaxPool,
// GlobalAveragePool.

#include <cmath>
#include <limits>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

struct Window {
  std::vector<int64_t> in, kernel, stride, dilation, padBegin, out;
};

// Window geometry from the attributes, as ONNX defines it (explicit pads or SAME/VALID padding,
// floor or ceil division for the output size).
Window poolWindow(const KernelContext& c, const Tensor& x, bool dilated) {
  if (x.rank() < 3) c.fail("needs an input [N, C, spatial...]");
  const size_t spatial = static_cast<size_t>(x.rank() - 2);
  const auto* kernel = c.node.intsAttribute("kernel_shape");
  if (kernel == nullptr || kernel->size() != spatial) c.fail("needs a kernel_shape per spatial dimension");
  const auto* strides = c.node.intsAttribute("strides");
  const auto* dilations = dilated ? c.node.intsAttribute("dilations") : nullptr;
  const auto* pads = c.node.intsAttribute("pads");
  const std::string autoPad = c.node.stringAttribute("auto_pad", "NOTSET");
  const bool ceilMode = c.node.intAttribute("ceil_mode", 0) != 0;
  Window w;
  for (size_t d = 0; d < spatial; ++d) {
    const int64_t in = x.shape()[2 + d];
    const int64_t k = (*kernel)[d];
    const int64_t s = strides && strides->size() == spatial ? (*strides)[d] : 1;
    const int64_t dil = dilations && dilations->size() == spatial ? (*dilations)[d] : 1;
    int64_t begin = pads && pads->size() == 2 * spatial ? (*pads)[d] : 0;
    int64_t end = pads && pads->size() == 2 * spatial ? (*pads)[d + spatial] : 0;
    if (k <= 0 || s <= 0 || dil <= 0 || begin < 0 || end < 0) c.fail("has invalid kernel, strides, dilations or pads");
    const int64_t extent = (k - 1) * dil + 1;
    int64_t out = 0;
    if (autoPad == "SAME_UPPER" || autoPad == "SAME_LOWER") {
      out = (in + s - 1) / s;
      const int64_t total = std::max<int64_t>((out - 1) * s + extent - in, 0);
      begin = autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
    } else {
      if (autoPad == "VALID") begin = end = 0;
      const int64_t span = in + begin + end - extent;
      if (span < 0) c.fail("has a kernel larger than the padded input");
      out = (ceilMode ? (span + s - 1) / s : span / s) + 1;
      // A last window that would start inside the end padding is dropped.
      if (ceilMode && (out - 1) * s >= in + begin) --out;
    }
    w.in.push_back(in);
    w.kernel.push_back(k);
    w.stride.push_back(s);
    w.dilation.push_back(dil);
    w.padBegin.push_back(begin);
    w.out.push_back(out);
  }
  return w;
}

template <bool Max>
void poolKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  // AveragePool takes dilations from operator set 19 on.
  const Window w = poolWindow(c, x, Max || c.opset >= 19);
  const size_t spatial = w.in.size();
  const bool countPad = c.node.intAttribute("count_include_pad", 0) != 0;
  const bool columnMajor = c.node.intAttribute("storage_order", 0) != 0;
  const int64_t planes = x.shape()[0] * x.shape()[1];
  const int64_t inSize = product(w.in, 0, spatial), outSize = product(w.out, 0, spatial), kernelSize = product(w.kernel, 0, spatial);
  Shape outShape{x.shape()[0], x.shape()[1]};
  outShape.insert(outShape.end(), w.out.begin(), w.out.end());
  const auto inStrides = denseStrides(w.in);
  auto pool = [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), outShape);
    Tensor indices(ElementType::int64, outShape);
    std::vector<int64_t> position(spatial), offset(spatial);
    for (int64_t p = 0; p < planes; ++p) {
      const T* plane = x.data<T>() + p * inSize;
      std::fill(position.begin(), position.end(), 0);
      for (int64_t o = 0; o < outSize; ++o) {
        double accumulator = Max ? -std::numeric_limits<double>::infinity() : 0.0;
        int64_t best = -1, valid = 0;
        std::fill(offset.begin(), offset.end(), 0);
        for (int64_t k = 0; k < kernelSize; ++k) {
          bool inside = true;
          int64_t at = 0;
          for (size_t d = 0; d < spatial; ++d) {
            const int64_t coordinate = position[d] * w.stride[d] - w.padBegin[d] + offset[d] * w.dilation[d];
            if (coordinate < 0 || coordinate >= w.in[d]) inside = false;
            at += coordinate * inStrides[d];
          }
          if (inside) {
            const double v = plane[at];
            ++valid;
            if (Max) {
              if (v > accumulator || best < 0) {
                accumulator = v;
                best = at;
              }
            } else {
              accumulator += v;
            }
          }
          for (size_t d = spatial; d-- > 0;) {
            if (++offset[d] < w.kernel[d]) break;
            offset[d] = 0;
          }
        }
        if (!Max) accumulator /= static_cast<double>(countPad ? kernelSize : std::max<int64_t>(valid, 1));
        y.data<T>()[p * outSize + o] = static_cast<T>(accumulator);
        if (Max && best >= 0) {
          int64_t index = best;
          if (columnMajor && spatial == 2) index = (best % w.in[1]) * w.in[0] + best / w.in[1];
          indices.data<int64_t>()[p * outSize + o] = p * inSize + index;
        }
        for (size_t d = spatial; d-- > 0;) {
          if (++position[d] < w.out[d]) break;
          position[d] = 0;
        }
      }
    }
    c.outputs[0] = std::move(y);
    if (c.wantsOutput(1)) {
      if (!Max) c.fail("has no second output");
      c.outputs[1] = std::move(indices);
    }
  };
  // The maximum of integers is exact; averages stay floating-point.
  if constexpr (Max) dispatchNumeric(c, x.type(), pool);
  else dispatchFloating(c, x.type(), pool);
}

template <bool Max>
void globalPoolKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  if (x.rank() < 3) c.fail("needs an input [N, C, spatial...]");
  const int64_t planes = x.shape()[0] * x.shape()[1];
  const int64_t size = product(x.shape(), 2, x.shape().size());
  Shape outShape(x.shape().size(), 1);
  outShape[0] = x.shape()[0];
  outShape[1] = x.shape()[1];
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), outShape);
    for (int64_t p = 0; p < planes; ++p) {
      const T* plane = x.data<T>() + p * size;
      double accumulator = Max ? -std::numeric_limits<double>::infinity() : 0.0;
      for (int64_t i = 0; i < size; ++i) accumulator = Max ? std::max<double>(accumulator, plane[i]) : accumulator + plane[i];
      y.data<T>()[p] = static_cast<T>(Max ? accumulator : accumulator / static_cast<double>(std::max<int64_t>(size, 1)));
    }
    c.outputs[0] = std::move(y);
  });
}

}  // namespace

void addPoolOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"MaxPool", {poolKernel<true>}},
      {"AveragePool", {poolKernel<false>}},
      {"GlobalMaxPool", {globalPoolKernel<true>}},
      {"GlobalAveragePool", {globalPoolKernel<false>}},
  });
}

}  // namespace platform::ml
