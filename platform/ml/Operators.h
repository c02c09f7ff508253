#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ml/Graph.h"
#include "platform/ml/Tensor.h"

namespace platform::ml {

// What a kernel sees of one node application: the node, its input tensors (null for omitted
// optional inputs and for inputs that are not tensors) and the outputs to fill (one per node output,
// omitted ones stay empty). Kernels that take values (sequences, optionals) also see every input as
// a value and may fill valueOutputs instead; kernels with subgraphs run them in `scope`.
struct KernelContext {
  const Node& node;
  std::vector<const Tensor*> inputs;
  std::vector<Tensor> outputs;
  int opset = 0;
  std::vector<const Value*> values = {};
  std::vector<Value> valueOutputs = {};
  const Frame* scope = nullptr;

  size_t inputCount() const { return inputs.size(); }
  bool hasInput(size_t index) const { return index < inputs.size() && inputs[index] != nullptr; }
  // The input as a value; null when omitted. Only for kernels that take values.
  const Value* valueInput(size_t index) const { return index < values.size() ? values[index] : nullptr; }
  // The input; throws MLModelError(generic) naming the node when it is missing.
  const Tensor& input(size_t index) const;
  bool wantsOutput(size_t index) const { return index < node.outputs.size() && node.outputs[index] >= 0; }
  // Throws MLModelError(generic) with the node's label in front of `message`.
  [[noreturn]] void fail(const std::string& message) const;
};

using Kernel = void (*)(KernelContext&);

struct OperatorEntry {
  Kernel kernel = nullptr;
  // Float16 inputs are widened to float32 before the kernel and float32 outputs narrowed back after.
  bool widensFloat16 = true;
  // The kernel takes and gives sequences and optionals (KernelContext::values, valueOutputs).
  bool takesValues = false;
  // Checks a loaded node (its subgraphs against its inputs and outputs); throws
  // MLModelError(invalidModel) naming the node.
  void (*check)(const Node&) = nullptr;
  // The kernel handles string tensors (those that take values do too); others are refused them.
  bool takesStrings = false;
};

// The newest ONNX operator set whose forms the kernels follow.
constexpr int kNewestOperatorSet = 21;

// Refuses, with MLModelError(invalidModel) naming the node, the operator and the version, a node
// whose imported operator set this executor does not know or whose form at that version it lacks.
void checkOperatorVersion(const Node& node);

// The kernel of an ONNX operator of the default domain, or null when this executor lacks it.
const OperatorEntry* findOperator(std::string_view opType);
std::vector<std::string> supportedOperators();

}  // namespace platform::ml
