// Control flow: If, Loop and Scan run their subgraphs in the scope of the node, so a body reads the
// enclosing values without copying them.

#include <algorithm>
#include <limits>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

[[noreturn]] void refuse(const Node& node, const std::string& problem) {
  throw MLModelError::invalidModel(fmt::format("{}: {}.", node.label(), problem));
}

const Graph& subgraph(const Node& node, const char* key) {
  const Graph* graph = node.graphAttribute(key);
  if (graph == nullptr) refuse(node, fmt::format("has no subgraph '{}'", key));
  return *graph;
}

Tensor scalar(int64_t value) {
  Tensor t(ElementType::int64, {});
  t.data<int64_t>()[0] = value;
  return t;
}

Tensor boolScalar(bool value) {
  Tensor t(ElementType::bool_, {});
  t.data<bool>()[0] = value;
  return t;
}

bool truth(const KernelContext& c, const Value& value, const char* what) {
  if (!value.isTensor() || value.tensor().count() != 1) c.fail(fmt::format("needs a one-element {}", what));
  return value.tensor().doubleAt(0) != 0;
}

// The tensor without `axis`, at `index` along it.
Tensor sliceAlong(const Tensor& x, int64_t axis, int64_t index) {
  Shape shape = x.shape();
  const int64_t outer = product(shape, 0, static_cast<size_t>(axis));
  const int64_t length = shape[static_cast<size_t>(axis)];
  const int64_t inner = product(shape, static_cast<size_t>(axis) + 1, shape.size());
  shape.erase(shape.begin() + axis);
  Tensor out(x.type(), shape, Tensor::Uninitialized{});
  for (int64_t o = 0; o < outer; ++o) out.copyElements(x, (o * length + index) * inner, o * inner, inner);
  return out;
}

// The tensors of equal shape stacked along a new `axis`.
Tensor stackAlong(const KernelContext& c, const std::vector<Tensor>& parts, int64_t axis) {
  const Shape& part = parts.front().shape();
  for (const Tensor& t : parts) {
    if (t.shape() != part || t.type() != parts.front().type()) {
      c.fail(fmt::format("gives scan outputs of different shapes {} and {}", shapeText(part), shapeText(t.shape())));
    }
  }
  axis = normalizeAxis(c, axis, static_cast<int64_t>(part.size()) + 1);
  Shape shape = part;
  const int64_t count = static_cast<int64_t>(parts.size());
  shape.insert(shape.begin() + axis, count);
  const int64_t outer = product(part, 0, static_cast<size_t>(axis));
  const int64_t inner = product(part, static_cast<size_t>(axis), part.size());
  Tensor out(parts.front().type(), shape, Tensor::Uninitialized{});
  for (int64_t k = 0; k < count; ++k) {
    for (int64_t o = 0; o < outer; ++o) out.copyElements(parts[static_cast<size_t>(k)], o * inner, (o * count + k) * inner, inner);
  }
  return out;
}

// A scan output of no iterations: empty along the stacking axis, typed as the body declares.
Tensor emptyScanOutput(const ValueInfo& info) {
  const ElementType type = info.type == ElementType::undefined ? ElementType::float32 : info.type;
  Shape shape{0};
  for (int64_t d : info.dims) shape.push_back(std::max<int64_t>(d, 0));
  return Tensor(type, shape);
}

// ---- If -------------------------------------------------------------------------------------

void checkIf(const Node& node) {
  for (const char* key : {"then_branch", "else_branch"}) {
    const Graph& branch = subgraph(node, key);
    if (branch.outputs().size() != node.outputs.size()) {
      refuse(node, fmt::format("its {} gives {} outputs for {}", key, branch.outputs().size(), node.outputs.size()));
    }
    if (!branch.inputs().empty()) refuse(node, fmt::format("its {} takes inputs", key));
  }
}

void ifKernel(KernelContext& c) {
  const Value* condition = c.valueInput(0);
  if (condition == nullptr) c.fail("needs a condition");
  const Graph& branch = *c.node.graphAttribute(truth(c, *condition, "condition") ? "then_branch" : "else_branch");
  auto results = branch.runBody(*c.scope, {});
  for (size_t k = 0; k < results.size(); ++k) c.valueOutputs[k] = std::move(results[k]);
}

// ---- Loop -----------------------------------------------------------------------------------

void checkLoop(const Node& node) {
  const Graph& body = subgraph(node, "body");
  if (node.inputs.size() < 2) refuse(node, "needs a trip count and a condition slot");
  if (node.inputs[0] < 0 && node.inputs[1] < 0) refuse(node, "has neither a trip count nor a condition, so it could never end");
  if (body.inputs().size() != node.inputs.size()) {
    refuse(node, fmt::format("its body takes {} inputs, the loop gives {}", body.inputs().size(), node.inputs.size()));
  }
  if (body.outputs().size() != node.outputs.size() + 1) {
    refuse(node, fmt::format("its body gives {} outputs for {} loop outputs", body.outputs().size(), node.outputs.size()));
  }
  if (node.outputs.size() < node.inputs.size() - 2) refuse(node, "has fewer outputs than loop-carried values");
}

void loopKernel(KernelContext& c) {
  const Graph& body = *c.node.graphAttribute("body");
  const size_t carriedCount = c.node.inputs.size() - 2;
  const size_t scanCount = c.node.outputs.size() - carriedCount;
  const Value* tripInput = c.valueInput(0);
  const Value* conditionInput = c.valueInput(1);
  int64_t trips = std::numeric_limits<int64_t>::max();
  if (tripInput != nullptr) {
    if (!tripInput->isTensor() || tripInput->tensor().count() != 1) c.fail("needs a one-element trip count");
    trips = tripInput->tensor().integerAt(0);
  }
  bool keepGoing = conditionInput == nullptr || truth(c, *conditionInput, "condition");
  std::vector<Value> carried(carriedCount);
  for (size_t i = 0; i < carriedCount; ++i) {
    const Value* initial = c.valueInput(2 + i);
    if (initial == nullptr) c.fail(fmt::format("needs loop-carried input {}", 2 + i));
    carried[i] = *initial;
  }
  std::vector<std::vector<Tensor>> scans(scanCount);
  for (int64_t i = 0; i < trips && keepGoing; ++i) {
    std::vector<Value> inputs;
    inputs.reserve(2 + carriedCount);
    inputs.emplace_back(scalar(i));
    inputs.emplace_back(boolScalar(keepGoing));
    for (auto& value : carried) inputs.push_back(std::move(value));
    auto results = body.runBody(*c.scope, std::move(inputs));
    keepGoing = truth(c, results[0], "condition from its body");
    for (size_t k = 0; k < carriedCount; ++k) carried[k] = std::move(results[1 + k]);
    for (size_t k = 0; k < scanCount; ++k) {
      const Value& part = results[1 + carriedCount + k];
      if (!part.isTensor()) c.fail(fmt::format("gets {} as scan output {}", part.kindName(), k));
      scans[k].push_back(part.tensor());
    }
  }
  for (size_t k = 0; k < carriedCount; ++k) c.valueOutputs[k] = std::move(carried[k]);
  for (size_t k = 0; k < scanCount; ++k) {
    c.valueOutputs[carriedCount + k] =
        scans[k].empty() ? emptyScanOutput(body.outputs()[1 + carriedCount + k]) : stackAlong(c, scans[k], 0);
  }
}

// ---- Scan -----------------------------------------------------------------------------------

struct ScanPlan {
  std::vector<int64_t> inputAxes, inputDirections, outputAxes, outputDirections;
};

std::vector<int64_t> listOr(const Node& node, const char* key, size_t count, int64_t fallback) {
  const auto* values = node.intsAttribute(key);
  if (values == nullptr) return std::vector<int64_t>(count, fallback);
  return *values;
}

void checkScan(const Node& node) {
  const Graph& body = subgraph(node, "body");
  const int64_t scanInputs = node.intAttribute("num_scan_inputs", -1);
  const size_t given = node.inputs.size() - (node.opset < 9 ? 1 : 0);
  if (scanInputs < 1 || static_cast<size_t>(scanInputs) > given) refuse(node, "has no valid num_scan_inputs");
  if (body.inputs().size() != given) {
    refuse(node, fmt::format("its body takes {} inputs, the node gives {}", body.inputs().size(), given));
  }
  if (body.outputs().size() != node.outputs.size()) {
    refuse(node, fmt::format("its body gives {} outputs for {}", body.outputs().size(), node.outputs.size()));
  }
}

// One scan over the sequence axis of `scanInputs`; `states` become the final states, the return value
// holds the scan outputs.
std::vector<Tensor> scanOnce(const KernelContext& c, const Graph& body, std::vector<Value>& states,
                             const std::vector<Tensor>& scanInputs, const ScanPlan& plan) {
  int64_t length = -1;
  std::vector<int64_t> axes;
  for (size_t j = 0; j < scanInputs.size(); ++j) {
    const int64_t axis = normalizeAxis(c, plan.inputAxes.at(j), scanInputs[j].rank());
    axes.push_back(axis);
    const int64_t l = scanInputs[j].shape()[static_cast<size_t>(axis)];
    if (length >= 0 && l != length) c.fail("gets scan inputs of different lengths");
    length = l;
  }
  const size_t outputCount = body.outputs().size() - states.size();
  std::vector<std::vector<Tensor>> parts(outputCount);
  for (int64_t t = 0; t < length; ++t) {
    std::vector<Value> inputs = states;
    for (size_t j = 0; j < scanInputs.size(); ++j) {
      const int64_t index = plan.inputDirections.at(j) != 0 ? length - 1 - t : t;
      inputs.emplace_back(sliceAlong(scanInputs[j], axes[j], index));
    }
    auto results = body.runBody(*c.scope, std::move(inputs));
    for (size_t k = 0; k < states.size(); ++k) states[k] = std::move(results[k]);
    for (size_t k = 0; k < outputCount; ++k) {
      if (!results[states.size() + k].isTensor()) c.fail("gets a scan output that is not a tensor");
      parts[k].push_back(results[states.size() + k].tensor());
    }
  }
  std::vector<Tensor> outputs;
  for (size_t k = 0; k < outputCount; ++k) {
    if (parts[k].empty()) {
      outputs.push_back(emptyScanOutput(body.outputs()[states.size() + k]));
      continue;
    }
    if (plan.outputDirections.at(k) != 0) std::reverse(parts[k].begin(), parts[k].end());
    outputs.push_back(stackAlong(c, parts[k], plan.outputAxes.at(k)));
  }
  return outputs;
}

void scanKernel(KernelContext& c) {
  const Graph& body = *c.node.graphAttribute("body");
  const bool batched = c.opset < 9;  // the first form scans every batch entry and takes sequence lengths
  const size_t first = batched ? 1 : 0;
  const size_t scanCount = static_cast<size_t>(c.node.intAttribute("num_scan_inputs", 1));
  const size_t stateCount = c.node.inputs.size() - first - scanCount;
  const size_t outputCount = c.node.outputs.size() - stateCount;
  ScanPlan plan;
  plan.inputAxes = listOr(c.node, "scan_input_axes", scanCount, 0);
  plan.inputDirections = listOr(c.node, batched ? "directions" : "scan_input_directions", scanCount, 0);
  plan.outputAxes = listOr(c.node, "scan_output_axes", outputCount, 0);
  plan.outputDirections = listOr(c.node, "scan_output_directions", outputCount, 0);
  if (plan.inputAxes.size() != scanCount || plan.inputDirections.size() != scanCount ||
      plan.outputAxes.size() != outputCount || plan.outputDirections.size() != outputCount) {
    c.fail("has axis or direction lists of the wrong length");
  }
  std::vector<Value> states;
  for (size_t k = 0; k < stateCount; ++k) states.emplace_back(c.input(first + k));
  std::vector<Tensor> scanInputs;
  for (size_t j = 0; j < scanCount; ++j) scanInputs.push_back(c.input(first + stateCount + j));
  if (!batched) {
    auto outputs = scanOnce(c, body, states, scanInputs, plan);
    for (size_t k = 0; k < stateCount; ++k) c.valueOutputs[k] = std::move(states[k]);
    for (size_t k = 0; k < outputCount; ++k) c.valueOutputs[stateCount + k] = std::move(outputs[k]);
    return;
  }
  const int64_t batch = scanInputs.front().rank() > 0 ? scanInputs.front().shape()[0] : 0;
  if (c.hasInput(0)) {
    const auto lengths = c.input(0).integers();
    const int64_t full = scanInputs.front().rank() > 1 ? scanInputs.front().shape()[1] : 0;
    if (std::any_of(lengths.begin(), lengths.end(), [&](int64_t l) { return l != full; })) {
      c.fail("handles only sequence lengths that fill the scan inputs");
    }
  }
  for (auto& axis : plan.inputAxes) axis = 0;
  std::vector<std::vector<Tensor>> finalStates(stateCount), scanned(outputCount);
  for (int64_t b = 0; b < batch; ++b) {
    std::vector<Value> entryStates;
    for (const auto& state : states) entryStates.emplace_back(sliceAlong(state.tensor(), 0, b));
    std::vector<Tensor> entryInputs;
    for (const auto& input : scanInputs) entryInputs.push_back(sliceAlong(input, 0, b));
    auto outputs = scanOnce(c, body, entryStates, entryInputs, plan);
    for (size_t k = 0; k < stateCount; ++k) finalStates[k].push_back(entryStates[k].tensor());
    for (size_t k = 0; k < outputCount; ++k) scanned[k].push_back(std::move(outputs[k]));
  }
  if (batch == 0) c.fail("scans an empty batch");
  for (size_t k = 0; k < stateCount; ++k) c.valueOutputs[k] = stackAlong(c, finalStates[k], 0);
  for (size_t k = 0; k < outputCount; ++k) c.valueOutputs[stateCount + k] = stackAlong(c, scanned[k], 0);
}

}  // namespace

void addControlFlowOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"If", {ifKernel, false, true, checkIf}},
      {"Loop", {loopKernel, false, true, checkLoop}},
      {"Scan", {scanKernel, false, true, checkScan}},
  });
}

}  // namespace platform::ml
