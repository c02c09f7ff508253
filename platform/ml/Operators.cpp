#include "platform/ml/Operators.h"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "platform/ml/KernelSupport.h"
#include "platform/ml/MLModelError.h"

namespace platform::ml {

const Tensor& KernelContext::input(size_t index) const {
  if (!hasInput(index)) fail(fmt::format("needs input {}", index));
  return *inputs[index];
}

void KernelContext::fail(const std::string& message) const {
  throw MLModelError::generic(fmt::format("{}: {}.", node.label(), message));
}

namespace {

const std::unordered_map<std::string_view, OperatorEntry>& operatorTable() {
  static const auto table = [] {
    OperatorTable entries;
    addElementwiseOperators(entries);
    addShapeOperators(entries);
    addMatrixOperators(entries);
    addReductionOperators(entries);
    addNormalizationOperators(entries);
    addPoolOperators(entries);
    addRecurrentOperators(entries);
    addControlFlowOperators(entries);
    addSequenceOperators(entries);
    addStringOperators(entries);
    return std::unordered_map<std::string_view, OperatorEntry>(entries.begin(), entries.end());
  }();
  return table;
}

}  // namespace

// Forms of operator sets 7 to 21 whose signature or meaning changed, and where the kernels follow them
// (by KernelContext::opset). Changes that only add element types need nothing: tensors of types the
// executor lacks are refused anyway.
//
//   operator              set  form                                                  handled in
//   Add Sub Mul Div ...     7  numpy broadcasting                                      ElementwiseOperators
//   Max Min Sum Mean        8  broadcasting                                            ElementwiseOperators
//   AveragePool MaxPool    10  ceil_mode                                               PoolOperators
//   Slice                  10  starts, ends, axes, steps as inputs                     ShapeOperators
//   TopK                   10  k as an input                                           ReductionOperators
//   Pad                    11  pads and value as inputs                                ShapeOperators
//   Clip                   11  min and max as inputs                                   ElementwiseOperators
//   ReduceSum              13  axes as an input, noop_with_empty_axes                  ReductionOperators
//   Split                  13  split sizes as an input                                 ShapeOperators
//   Squeeze Unsqueeze      13  axes as an input                                        ShapeOperators
//   Softmax LogSoftmax     13  along one axis (before: as a matrix from the axis on)   ReductionOperators
//   Hardmax                13  the same                                                ReductionOperators
//   Reshape                14  allowzero                                               ShapeOperators
//   Shape                  15  start, end                                              ShapeOperators
//   OptionalHasElement     18  a tensor or sequence input, or none                     SequenceOperators
//   OptionalGetElement     18  a tensor or sequence input                              SequenceOperators
//   Reduce* (not Sum)      18  axes as an optional input, noop_with_empty_axes         ReductionOperators
//   Split                  18  num_outputs (the last part may be shorter)              ShapeOperators
//   Pad                    18  axes as an optional input                               ShapeOperators
//   AveragePool            19  dilations                                               PoolOperators
//   Pad                    19  mode wrap                                               ShapeOperators
//   Cast CastLike          19  saturate: only for 8-bit float types, which are refused
//   Equal                  19  strings: refused (Equal takes no string tensors)
//   ReduceMax ReduceMin    20  bool tensors: refused
//   sets 19 to 21, others      element types only
//
// A network importing a set newer than kNewestOperatorSet is refused at load rather than run with
// forms nobody checked; an operator added later whose newer form is not handled refuses it here too.
void checkOperatorVersion(const Node& node) {
  if (node.opset > kNewestOperatorSet) {
    throw MLModelError::invalidModel(fmt::format("{}: operator {} at operator set {} is newer than this executor knows (up to {}).",
                                                 node.label(), node.opType, node.opset, kNewestOperatorSet));
  }
}

const OperatorEntry* findOperator(std::string_view opType) {
  const auto& table = operatorTable();
  auto it = table.find(opType);
  return it == table.end() ? nullptr : &it->second;
}

std::vector<std::string> supportedOperators() {
  std::vector<std::string> names;
  for (const auto& entry : operatorTable()) names.emplace_back(entry.first);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace platform::ml
