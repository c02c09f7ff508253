// Recurrent layers: LSTM, GRU and RNN with the default activations, forward, reverse or both
// directions, per-sequence lengths and either layout. Input projections of all steps go through one
// matrix product; each step adds the recurrent product.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

enum class Cell { lstm, gru, rnn };

template <class T>
T sigmoid(T v) {
  return v >= T(0) ? T(1) / (T(1) + std::exp(-v)) : std::exp(v) / (T(1) + std::exp(v));
}

// The cell's activations must be the defaults: other functions are not implemented.
void checkActivations(const KernelContext& c, Cell cell, int64_t directions) {
  const auto it = c.node.attributes.find("activations");
  if (it == c.node.attributes.end()) return;
  std::vector<std::string> expected;
  for (int64_t d = 0; d < directions; ++d) {
    if (cell == Cell::lstm) expected.insert(expected.end(), {"Sigmoid", "Tanh", "Tanh"});
    if (cell == Cell::gru) expected.insert(expected.end(), {"Sigmoid", "Tanh"});
    if (cell == Cell::rnn) expected.push_back("Tanh");
  }
  if (it->second.strings != expected) c.fail("supports only the default activations");
}

template <Cell K>
void recurrentKernel(KernelContext& c) {
  const Tensor& X = c.input(0);
  const Tensor& W = c.input(1);
  const Tensor& R = c.input(2);
  const int64_t gates = K == Cell::lstm ? 4 : (K == Cell::gru ? 3 : 1);
  const std::string direction = c.node.stringAttribute("direction", "forward");
  if (direction != "forward" && direction != "reverse" && direction != "bidirectional") c.fail("has an unknown direction");
  const int64_t directions = direction == "bidirectional" ? 2 : 1;
  const bool batchFirst = c.node.intAttribute("layout", 0) != 0;
  if (X.rank() != 3 || W.rank() != 3 || R.rank() != 3) c.fail("needs inputs of rank 3");
  const int64_t seq = X.shape()[batchFirst ? 1 : 0], batch = X.shape()[batchFirst ? 0 : 1], inputSize = X.shape()[2];
  const int64_t hidden = c.node.intAttribute("hidden_size", R.shape()[2]);
  if (W.shape() != Shape{directions, gates * hidden, inputSize} || R.shape() != Shape{directions, gates * hidden, hidden}) {
    c.fail(fmt::format("has weights {} and {} that do not fit", shapeText(W.shape()), shapeText(R.shape())));
  }
  checkActivations(c, K, directions);
  if (c.node.intAttribute("input_forget", 0) != 0) c.fail("does not support input_forget");
  const float clip = c.node.floatAttribute("clip", 0.0f);
  const bool linearBeforeReset = c.node.intAttribute("linear_before_reset", 0) != 0;
  std::vector<int64_t> lengths(static_cast<size_t>(batch), seq);
  if (c.hasInput(4)) {
    lengths = c.input(4).integers();
    if (static_cast<int64_t>(lengths.size()) != batch) c.fail("needs one sequence length per batch entry");
    for (int64_t& l : lengths) l = std::clamp<int64_t>(l, 0, seq);
  }
  dispatchFloating(c, X.type(), [&](auto tag) {
    using T = decltype(tag);
    auto optional = [&](size_t index, Shape shape) -> const T* {
      if (!c.hasInput(index)) return nullptr;
      if (c.input(index).type() != X.type() || c.input(index).shape() != shape) c.fail(fmt::format("has input {} of the wrong shape", index));
      return c.input(index).data<T>();
    };
    const T* bias = optional(3, {directions, 2 * gates * hidden});
    const Shape stateShape = batchFirst ? Shape{batch, directions, hidden} : Shape{directions, batch, hidden};
    const T* initialH = optional(5, stateShape);
    const T* initialC = K == Cell::lstm ? optional(6, stateShape) : nullptr;
    const T* peepholes = K == Cell::lstm ? optional(7, {directions, 3 * hidden}) : nullptr;
    auto stateAt = [&](int64_t d, int64_t b) { return batchFirst ? (b * directions + d) * hidden : (d * batch + b) * hidden; };

    // Steps in [seq, batch, input] order whatever the layout.
    std::vector<T> x(static_cast<size_t>(seq * batch * inputSize));
    for (int64_t t = 0; t < seq; ++t) {
      for (int64_t b = 0; b < batch; ++b) {
        const int64_t from = batchFirst ? (b * seq + t) * inputSize : (t * batch + b) * inputSize;
        std::copy_n(X.data<T>() + from, inputSize, x.data() + (t * batch + b) * inputSize);
      }
    }
    Tensor Y(X.type(), batchFirst ? Shape{batch, seq, directions, hidden} : Shape{seq, directions, batch, hidden});
    Tensor Yh(X.type(), stateShape), Yc(X.type(), stateShape);
    auto yAt = [&](int64_t t, int64_t d, int64_t b) {
      return batchFirst ? ((b * seq + t) * directions + d) * hidden : ((t * directions + d) * batch + b) * hidden;
    };
    std::vector<T> projected(static_cast<size_t>(seq * batch * gates * hidden));
    std::vector<T> g(static_cast<size_t>(gates * hidden)), h(static_cast<size_t>(hidden)), cell(static_cast<size_t>(hidden));
    std::vector<T> recurrent(static_cast<size_t>(gates * hidden)), scratch(static_cast<size_t>(hidden));
    auto clipped = [&](T v) { return clip > 0 ? std::clamp(v, static_cast<T>(-clip), static_cast<T>(clip)) : v; };
    for (int64_t d = 0; d < directions; ++d) {
      const bool reverse = direction == "reverse" || d == 1;
      const T* w = W.data<T>() + d * gates * hidden * inputSize;
      const T* r = R.data<T>() + d * gates * hidden * hidden;
      const T* wb = bias ? bias + d * 2 * gates * hidden : nullptr;
      const T* rb = bias ? wb + gates * hidden : nullptr;
      const T* p = peepholes ? peepholes + d * 3 * hidden : nullptr;
      gemm<T>(false, true, seq * batch, gates * hidden, inputSize, T(1), x.data(), inputSize, w, inputSize, T(0), projected.data(), gates * hidden);
      for (int64_t b = 0; b < batch; ++b) {
        for (int64_t j = 0; j < hidden; ++j) {
          h[static_cast<size_t>(j)] = initialH ? initialH[stateAt(d, b) + j] : T(0);
          cell[static_cast<size_t>(j)] = initialC ? initialC[stateAt(d, b) + j] : T(0);
        }
        for (int64_t s = 0; s < lengths[static_cast<size_t>(b)]; ++s) {
          const int64_t t = reverse ? lengths[static_cast<size_t>(b)] - 1 - s : s;
          const T* xp = projected.data() + (t * batch + b) * gates * hidden;
          gemm<T>(false, true, 1, gates * hidden, hidden, T(1), h.data(), hidden, r, hidden, T(0), recurrent.data(), gates * hidden);
          for (int64_t k = 0; k < gates * hidden; ++k) {
            g[static_cast<size_t>(k)] = xp[k] + (wb ? wb[k] : T(0));
            if (K != Cell::gru) g[static_cast<size_t>(k)] += recurrent[static_cast<size_t>(k)] + (rb ? rb[k] : T(0));
          }
          if constexpr (K == Cell::lstm) {
            // Gate order i, o, f, c; peepholes i, o, f.
            for (int64_t j = 0; j < hidden; ++j) {
              const size_t u = static_cast<size_t>(j);
              const T input = sigmoid(clipped(g[u] + (p ? p[j] * cell[u] : T(0))));
              const T forget = sigmoid(clipped(g[u + 2 * hidden] + (p ? p[j + 2 * hidden] * cell[u] : T(0))));
              const T candidate = std::tanh(clipped(g[u + 3 * hidden]));
              cell[u] = forget * cell[u] + input * candidate;
              const T output = sigmoid(clipped(g[u + hidden] + (p ? p[j + hidden] * cell[u] : T(0))));
              h[u] = output * std::tanh(cell[u]);
            }
          } else if constexpr (K == Cell::gru) {
            // Gate order z, r, h.
            for (int64_t j = 0; j < 2 * hidden; ++j) {
              g[static_cast<size_t>(j)] += recurrent[static_cast<size_t>(j)] + (rb ? rb[j] : T(0));
            }
            if (!linearBeforeReset) {
              for (int64_t j = 0; j < hidden; ++j) scratch[static_cast<size_t>(j)] = sigmoid(clipped(g[static_cast<size_t>(j + hidden)])) * h[static_cast<size_t>(j)];
              gemm<T>(false, true, 1, hidden, hidden, T(1), scratch.data(), hidden, r + 2 * hidden * hidden, hidden, T(0),
                      recurrent.data() + 2 * hidden, hidden);
            }
            for (int64_t j = 0; j < hidden; ++j) {
              const size_t u = static_cast<size_t>(j);
              const T update = sigmoid(clipped(g[u]));
              const T reset = sigmoid(clipped(g[u + hidden]));
              const T recurrentH = recurrent[u + 2 * hidden] + (rb ? rb[j + 2 * hidden] : T(0));
              const T candidate = std::tanh(clipped(g[u + 2 * hidden] + (linearBeforeReset ? reset * recurrentH : recurrentH)));
              h[u] = (T(1) - update) * candidate + update * h[u];
            }
          } else {
            for (int64_t j = 0; j < hidden; ++j) h[static_cast<size_t>(j)] = std::tanh(clipped(g[static_cast<size_t>(j)]));
          }
          std::copy(h.begin(), h.end(), Y.data<T>() + yAt(t, d, b));
        }
        std::copy(h.begin(), h.end(), Yh.data<T>() + stateAt(d, b));
        std::copy(cell.begin(), cell.end(), Yc.data<T>() + stateAt(d, b));
      }
    }
    if (c.wantsOutput(0)) c.outputs[0] = std::move(Y);
    if (c.wantsOutput(1)) c.outputs[1] = std::move(Yh);
    if (K == Cell::lstm && c.wantsOutput(2)) c.outputs[2] = std::move(Yc);
  });
}

}  // namespace

void addRecurrentOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"LSTM", {recurrentKernel<Cell::lstm>}},
      {"GRU", {recurrentKernel<Cell::gru>}},
      {"RNN", {recurrentKernel<Cell::rnn>}},
  });
}

}  // namespace platform::ml
