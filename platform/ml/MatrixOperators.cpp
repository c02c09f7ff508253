// Matrix products and convolution. float32 and float64 go through OpenBLAS; integer types use a
// plain loop.

#include <cblas.h>

#include <algorithm>
#include <cstring>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {

template <class T>
void gemm(bool transA, bool transB, int64_t m, int64_t n, int64_t k, T alpha, const T* a, int64_t lda, const T* b,
          int64_t ldb, T beta, T* c, int64_t ldc) {
  if (m == 0 || n == 0) return;
  if constexpr (std::is_same_v<T, float>) {
    cblas_sgemm(CblasRowMajor, transA ? CblasTrans : CblasNoTrans, transB ? CblasTrans : CblasNoTrans,
                static_cast<blasint>(m), static_cast<blasint>(n), static_cast<blasint>(k), alpha, a,
                static_cast<blasint>(std::max<int64_t>(lda, 1)), b, static_cast<blasint>(std::max<int64_t>(ldb, 1)), beta, c,
                static_cast<blasint>(std::max<int64_t>(ldc, 1)));
  } else if constexpr (std::is_same_v<T, double>) {
    cblas_dgemm(CblasRowMajor, transA ? CblasTrans : CblasNoTrans, transB ? CblasTrans : CblasNoTrans,
                static_cast<blasint>(m), static_cast<blasint>(n), static_cast<blasint>(k), alpha, a,
                static_cast<blasint>(std::max<int64_t>(lda, 1)), b, static_cast<blasint>(std::max<int64_t>(ldb, 1)), beta, c,
                static_cast<blasint>(std::max<int64_t>(ldc, 1)));
  } else {
    for (int64_t i = 0; i < m; ++i) {
      for (int64_t j = 0; j < n; ++j) {
        T sum = 0;
        for (int64_t p = 0; p < k; ++p) {
          const T x = transA ? a[p * lda + i] : a[i * lda + p];
          const T y = transB ? b[j * ldb + p] : b[p * ldb + j];
          sum += x * y;
        }
        c[i * ldc + j] = alpha * sum + (beta == T(0) ? T(0) : beta * c[i * ldc + j]);
      }
    }
  }
}

template void gemm<float>(bool, bool, int64_t, int64_t, int64_t, float, const float*, int64_t, const float*, int64_t, float, float*, int64_t);
template void gemm<double>(bool, bool, int64_t, int64_t, int64_t, double, const double*, int64_t, const double*, int64_t, double, double*, int64_t);
template void gemm<int32_t>(bool, bool, int64_t, int64_t, int64_t, int32_t, const int32_t*, int64_t, const int32_t*, int64_t, int32_t, int32_t*, int64_t);
template void gemm<int64_t>(bool, bool, int64_t, int64_t, int64_t, int64_t, const int64_t*, int64_t, const int64_t*, int64_t, int64_t, int64_t*, int64_t);

namespace {

void matMulKernel(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  if (a.type() != b.type()) c.fail("mixes element types");
  if (a.rank() == 0 || b.rank() == 0) c.fail("needs tensors of rank 1 or more");
  // Vectors become matrices for the product and lose that dimension again afterwards.
  Shape as = a.shape(), bs = b.shape();
  const bool vectorA = as.size() == 1, vectorB = bs.size() == 1;
  if (vectorA) as.insert(as.begin(), 1);
  if (vectorB) bs.push_back(1);
  const int64_t m = as[as.size() - 2], k = as.back(), n = bs.back();
  if (bs[bs.size() - 2] != k) c.fail(fmt::format("cannot multiply {} by {}", shapeText(a.shape()), shapeText(b.shape())));
  const Shape batchA(as.begin(), as.end() - 2), batchB(bs.begin(), bs.end() - 2);
  const Shape batch = broadcastShape(c, {&batchA, &batchB});
  Shape outShape = batch;
  if (!vectorA) outShape.push_back(m);
  if (!vectorB) outShape.push_back(n);
  dispatchNumeric(c, a.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y = k > 0 ? Tensor(a.type(), outShape, Tensor::Uninitialized{}) : Tensor(a.type(), outShape);
    const int64_t batches = product(batch, 0, batch.size());
    if (batchB.empty() || product(batchB, 0, batchB.size()) == 1) {
      if (batchA == batch || batchA.empty()) {
        // All of A's rows against one B: one product.
        gemm<T>(false, false, batches * m, n, k, T(1), a.data<T>(), k, b.data<T>(), n, T(0), y.data<T>(), n);
        c.outputs[0] = std::move(y);
        return;
      }
    }
    const auto stridesA = broadcastStrides(batchA, batch);
    const auto stridesB = broadcastStrides(batchB, batch);
    std::vector<int64_t> offsetsA, offsetsB;
    broadcastLoop<2>(batch, {stridesA, stridesB}, [&](int64_t, const std::array<int64_t, 2>& o) {
      offsetsA.push_back(o[0]);
      offsetsB.push_back(o[1]);
    });
    for (int64_t i = 0; i < batches; ++i) {
      gemm<T>(false, false, m, n, k, T(1), a.data<T>() + offsetsA[static_cast<size_t>(i)] * m * k, k,
              b.data<T>() + offsetsB[static_cast<size_t>(i)] * k * n, n, T(0), y.data<T>() + i * m * n, n);
    }
    c.outputs[0] = std::move(y);
  });
}

void gemmKernel(KernelContext& c) {
  const Tensor& a = c.input(0);
  const Tensor& b = c.input(1);
  if (a.rank() != 2 || b.rank() != 2) c.fail("needs matrices");
  if (a.type() != b.type()) c.fail("mixes element types");
  const bool transA = c.node.intAttribute("transA", 0) != 0;
  const bool transB = c.node.intAttribute("transB", 0) != 0;
  const int64_t m = transA ? a.shape()[1] : a.shape()[0];
  const int64_t k = transA ? a.shape()[0] : a.shape()[1];
  const int64_t kb = transB ? b.shape()[1] : b.shape()[0];
  const int64_t n = transB ? b.shape()[0] : b.shape()[1];
  if (k != kb) c.fail(fmt::format("cannot multiply {} by {}", shapeText(a.shape()), shapeText(b.shape())));
  const float alpha = c.node.floatAttribute("alpha", 1.0f);
  const float beta = c.node.floatAttribute("beta", 1.0f);
  dispatchNumeric(c, a.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(a.type(), {m, n});
    bool withC = false;
    if (c.hasInput(2) && beta != 0.0f) {
      const Tensor& bias = c.input(2);
      if (bias.type() != a.type()) c.fail("has a bias of another type");
      const Shape out{m, n};
      if (broadcastShape(c, {&bias.shape(), &out}) != out) c.fail(fmt::format("cannot broadcast bias {}", shapeText(bias.shape())));
      T* r = y.data<T>();
      const T* x = bias.data<T>();
      broadcastLoop<1>(out, {broadcastStrides(bias.shape(), out)}, [&](int64_t i, const std::array<int64_t, 1>& o) { r[i] = x[o[0]]; });
      withC = true;
    }
    gemm<T>(transA, transB, m, n, k, static_cast<T>(alpha), a.data<T>(), a.shape()[1], b.data<T>(), b.shape()[1],
            withC ? static_cast<T>(beta) : T(0), y.data<T>(), n);
    c.outputs[0] = std::move(y);
  });
}

// Convolution over one or two spatial dimensions by unrolling each patch into a column (im2col) and
// one matrix product per group.
void convKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const Tensor& w = c.input(1);
  if (x.rank() != 3 && x.rank() != 4) c.fail("handles 1-D and 2-D convolutions only");
  if (w.rank() != x.rank() || w.type() != x.type()) c.fail("has weights that do not fit the input");
  const size_t spatial = static_cast<size_t>(x.rank() - 2);
  const int64_t batch = x.shape()[0], channels = x.shape()[1], filters = w.shape()[0];
  const int64_t group = c.node.intAttribute("group", 1);
  if (group <= 0 || channels % group != 0 || filters % group != 0 || w.shape()[1] != channels / group) {
    c.fail(fmt::format("has weights {} that do not fit input {} in {} groups", shapeText(w.shape()), shapeText(x.shape()), group));
  }
  // Treat 1-D as 2-D with a height of 1.
  std::array<int64_t, 2> in{1, 1}, kernel{1, 1}, stride{1, 1}, dilation{1, 1}, padBegin{0, 0}, padEnd{0, 0}, out{1, 1};
  const size_t first = 2 - spatial;
  const auto* strides = c.node.intsAttribute("strides");
  const auto* dilations = c.node.intsAttribute("dilations");
  const auto* pads = c.node.intsAttribute("pads");
  const auto* kernelShape = c.node.intsAttribute("kernel_shape");
  const std::string autoPad = c.node.stringAttribute("auto_pad", "NOTSET");
  for (size_t d = 0; d < spatial; ++d) {
    const size_t i = first + d;
    in[i] = x.shape()[2 + d];
    kernel[i] = kernelShape && kernelShape->size() == spatial ? (*kernelShape)[d] : w.shape()[2 + d];
    if (kernel[i] != w.shape()[2 + d]) c.fail("has a kernel shape that differs from its weights");
    if (strides && strides->size() == spatial) stride[i] = (*strides)[d];
    if (dilations && dilations->size() == spatial) dilation[i] = (*dilations)[d];
    if (pads && pads->size() == 2 * spatial) {
      padBegin[i] = (*pads)[d];
      padEnd[i] = (*pads)[d + spatial];
    }
    if (stride[i] <= 0 || dilation[i] <= 0 || padBegin[i] < 0 || padEnd[i] < 0) c.fail("has invalid strides, dilations or pads");
    const int64_t extent = (kernel[i] - 1) * dilation[i] + 1;
    if (autoPad == "SAME_UPPER" || autoPad == "SAME_LOWER") {
      const int64_t wanted = (in[i] + stride[i] - 1) / stride[i];
      const int64_t total = std::max<int64_t>((wanted - 1) * stride[i] + extent - in[i], 0);
      padBegin[i] = autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
      padEnd[i] = total - padBegin[i];
    } else if (autoPad == "VALID") {
      padBegin[i] = padEnd[i] = 0;
    }
    out[i] = (in[i] + padBegin[i] + padEnd[i] - extent) / stride[i] + 1;
    if (in[i] + padBegin[i] + padEnd[i] < extent) c.fail("has a kernel larger than the padded input");
  }
  Shape outShape{batch, filters};
  for (size_t d = 0; d < spatial; ++d) outShape.push_back(out[first + d]);
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    Tensor y(x.type(), outShape, Tensor::Uninitialized{});
    const int64_t groupChannels = channels / group, groupFilters = filters / group;
    const int64_t patch = groupChannels * kernel[0] * kernel[1];
    const int64_t positions = out[0] * out[1];
    std::vector<T> columns(static_cast<size_t>(patch * positions));
    for (int64_t nb = 0; nb < batch; ++nb) {
      for (int64_t g = 0; g < group; ++g) {
        const T* image = x.data<T>() + (nb * channels + g * groupChannels) * in[0] * in[1];
        T* col = columns.data();
        for (int64_t ch = 0; ch < groupChannels; ++ch) {
          for (int64_t kh = 0; kh < kernel[0]; ++kh) {
            for (int64_t kw = 0; kw < kernel[1]; ++kw) {
              // Output columns whose input column lies inside the image: ow in [first, last).
              const int64_t shift = kw * dilation[1] - padBegin[1];
              const int64_t first = std::clamp<int64_t>(shift >= 0 ? 0 : (-shift + stride[1] - 1) / stride[1], 0, out[1]);
              const int64_t last = std::clamp<int64_t>(in[1] - shift <= 0 ? 0 : (in[1] - shift + stride[1] - 1) / stride[1], first, out[1]);
              for (int64_t oh = 0; oh < out[0]; ++oh) {
                const int64_t ih = oh * stride[0] - padBegin[0] + kh * dilation[0];
                if (ih < 0 || ih >= in[0]) {
                  std::fill(col, col + out[1], T(0));
                } else {
                  const T* row = image + (ch * in[0] + ih) * in[1];
                  std::fill(col, col + first, T(0));
                  if (stride[1] == 1) {
                    std::copy(row + first + shift, row + last + shift, col + first);
                  } else {
                    for (int64_t ow = first; ow < last; ++ow) col[ow] = row[ow * stride[1] + shift];
                  }
                  std::fill(col + last, col + out[1], T(0));
                }
                col += out[1];
              }
            }
          }
        }
        gemm<T>(false, false, groupFilters, positions, patch, T(1), w.data<T>() + g * groupFilters * patch, patch,
                columns.data(), positions, T(0), y.data<T>() + (nb * filters + g * groupFilters) * positions, positions);
      }
    }
    if (c.hasInput(2)) {
      const Tensor& bias = c.input(2);
      if (bias.count() != filters || bias.type() != x.type()) c.fail("has a bias that does not fit its filters");
      for (int64_t nb = 0; nb < batch; ++nb) {
        for (int64_t f = 0; f < filters; ++f) {
          T* row = y.data<T>() + (nb * filters + f) * positions;
          const T b = bias.data<T>()[f];
          for (int64_t p = 0; p < positions; ++p) row[p] += b;
        }
      }
    }
    c.outputs[0] = std::move(y);
  });
}

}  // namespace

void addMatrixOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"MatMul", {matMulKernel}},
      {"Gemm", {gemmKernel}},
      {"Conv", {convKernel}},
  });
}

}  // namespace platform::ml
