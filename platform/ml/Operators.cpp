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
