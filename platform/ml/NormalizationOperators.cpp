// LayerNormalization and BatchNormalization. Statistics are accumulated in double precision.

#include <cmath>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

void layerNormalizationKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const Tensor& scale = c.input(1);
  const int64_t rank = x.rank();
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", -1), rank);
  const double epsilon = c.node.floatAttribute("epsilon", 1e-5f);
  const auto& s = x.shape();
  const int64_t rows = product(s, 0, static_cast<size_t>(axis));
  const int64_t width = product(s, static_cast<size_t>(axis), s.size());
  const Shape normalized(s.begin() + axis, s.end());
  Shape statShape(s.begin(), s.begin() + axis);
  statShape.resize(static_cast<size_t>(rank), 1);
  auto fits = [&](const Tensor& t) { return broadcastShape(c, {&t.shape(), &normalized}) == normalized; };
  if (!fits(scale) || (c.hasInput(2) && !fits(c.input(2)))) c.fail("has a scale or bias that does not fit the normalized axes");
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    if (scale.type() != x.type() || (c.hasInput(2) && c.input(2).type() != x.type())) c.fail("mixes element types");
    const auto scaleStrides = broadcastStrides(scale.shape(), normalized);
    std::vector<T> scaleRow(static_cast<size_t>(width)), biasRow(static_cast<size_t>(width), T(0));
    broadcastLoop<1>(normalized, {scaleStrides}, [&](int64_t i, const std::array<int64_t, 1>& o) { scaleRow[static_cast<size_t>(i)] = scale.data<T>()[o[0]]; });
    if (c.hasInput(2)) {
      const Tensor& bias = c.input(2);
      broadcastLoop<1>(normalized, {broadcastStrides(bias.shape(), normalized)},
                       [&](int64_t i, const std::array<int64_t, 1>& o) { biasRow[static_cast<size_t>(i)] = bias.data<T>()[o[0]]; });
    }
    Tensor y(x.type(), s);
    Tensor mean(x.type(), statShape);
    Tensor invStdDev(x.type(), statShape);
    for (int64_t r = 0; r < rows; ++r) {
      const T* in = x.data<T>() + r * width;
      T* out = y.data<T>() + r * width;
      double sum = 0, squares = 0;
      for (int64_t i = 0; i < width; ++i) sum += in[i];
      const double mu = width > 0 ? sum / static_cast<double>(width) : 0.0;
      for (int64_t i = 0; i < width; ++i) squares += (in[i] - mu) * (in[i] - mu);
      const double variance = width > 0 ? squares / static_cast<double>(width) : 0.0;
      const double inv = 1.0 / std::sqrt(variance + epsilon);
      for (int64_t i = 0; i < width; ++i) {
        out[i] = static_cast<T>((in[i] - mu) * inv * scaleRow[static_cast<size_t>(i)] + biasRow[static_cast<size_t>(i)]);
      }
      mean.data<T>()[r] = static_cast<T>(mu);
      invStdDev.data<T>()[r] = static_cast<T>(inv);
    }
    c.outputs[0] = std::move(y);
    if (c.wantsOutput(1)) c.outputs[1] = std::move(mean);
    if (c.wantsOutput(2)) c.outputs[2] = std::move(invStdDev);
  });
}

// Normalizes per channel (axis 1) with the given statistics, or in training mode with the batch's own
// statistics, then also returns the updated running mean and variance.
void batchNormalizationKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  if (x.rank() < 2) c.fail("needs an input of rank 2 or more");
  const int64_t batch = x.shape()[0], channels = x.shape()[1];
  const int64_t spatial = product(x.shape(), 2, x.shape().size());
  for (size_t k = 1; k <= 4; ++k) {
    if (c.input(k).count() != channels) c.fail("has per-channel inputs that do not fit the channels");
  }
  const double epsilon = c.node.floatAttribute("epsilon", 1e-5f);
  const double momentum = c.node.floatAttribute("momentum", 0.9f);
  const bool training = c.node.intAttribute("training_mode", 0) != 0;
  dispatchFloating(c, x.type(), [&](auto tag) {
    using T = decltype(tag);
    for (size_t k = 1; k <= 4; ++k) {
      if (c.input(k).type() != x.type()) c.fail("mixes element types");
    }
    const T* scale = c.input(1).data<T>();
    const T* bias = c.input(2).data<T>();
    const T* runningMean = c.input(3).data<T>();
    const T* runningVar = c.input(4).data<T>();
    Tensor y(x.type(), x.shape());
    Tensor newMean(x.type(), {channels}), newVar(x.type(), {channels});
    for (int64_t ch = 0; ch < channels; ++ch) {
      double mean = runningMean[ch], var = runningVar[ch];
      if (training) {
        double sum = 0, squares = 0;
        const int64_t n = batch * spatial;
        for (int64_t b = 0; b < batch; ++b) {
          const T* in = x.data<T>() + (b * channels + ch) * spatial;
          for (int64_t i = 0; i < spatial; ++i) sum += in[i];
        }
        mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
        for (int64_t b = 0; b < batch; ++b) {
          const T* in = x.data<T>() + (b * channels + ch) * spatial;
          for (int64_t i = 0; i < spatial; ++i) squares += (in[i] - mean) * (in[i] - mean);
        }
        var = n > 0 ? squares / static_cast<double>(n) : 0.0;
        newMean.data<T>()[ch] = static_cast<T>(runningMean[ch] * momentum + mean * (1.0 - momentum));
        newVar.data<T>()[ch] = static_cast<T>(runningVar[ch] * momentum + var * (1.0 - momentum));
      }
      const double factor = scale[ch] / std::sqrt(var + epsilon);
      for (int64_t b = 0; b < batch; ++b) {
        const T* in = x.data<T>() + (b * channels + ch) * spatial;
        T* out = y.data<T>() + (b * channels + ch) * spatial;
        for (int64_t i = 0; i < spatial; ++i) out[i] = static_cast<T>((in[i] - mean) * factor + bias[ch]);
      }
    }
    c.outputs[0] = std::move(y);
    if (training) {
      if (c.wantsOutput(1)) c.outputs[1] = std::move(newMean);
      if (c.wantsOutput(2)) c.outputs[2] = std::move(newVar);
    } else if (c.wantsOutput(1) || c.wantsOutput(2)) {
      c.fail("gives running statistics only in training mode");
    }
  });
}

}  // namespace

void addNormalizationOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"LayerNormalization", {layerNormalizationKernel}},
      {"BatchNormalization", {batchNormalizationKernel}},
  });
}

}  // namespace platform::ml
