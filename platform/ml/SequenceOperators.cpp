// Sequences of tensors and optionals as values inside a network.

#include <algorithm>

#include "platform/ml/KernelSupport.h"

namespace platform::ml {
namespace {

const Value& valueAt(const KernelContext& c, size_t index) {
  const Value* value = c.valueInput(index);
  if (value == nullptr || value->empty()) c.fail(fmt::format("needs input {}", index));
  return *value;
}

const std::vector<Tensor>& sequenceAt(const KernelContext& c, size_t index) {
  const Value& value = valueAt(c, index);
  if (!value.isSequence()) c.fail(fmt::format("takes a sequence as input {}, not {}", index, value.kindName()));
  return value.elements();
}

Tensor int64Scalar(int64_t value) {
  Tensor t(ElementType::int64, {});
  t.data<int64_t>()[0] = value;
  return t;
}

// A position into a sequence of `size` elements; negative counts from the end. `size` itself is
// allowed where an element may be appended.
size_t position(const KernelContext& c, size_t input, size_t size, bool endAllowed) {
  const Tensor& p = c.input(input);
  if (p.count() != 1) c.fail("takes a one-element position");
  const int64_t n = static_cast<int64_t>(size);
  int64_t at = p.integerAt(0);
  const int64_t last = endAllowed ? n : n - 1;
  if (at < -n || at > last) c.fail(fmt::format("position {} is outside a sequence of {} elements", at, size));
  if (at < 0) at += n;
  return static_cast<size_t>(at);
}

void sequenceEmptyKernel(KernelContext& c) {
  const auto type = static_cast<ElementType>(c.node.intAttribute("dtype", static_cast<int64_t>(ElementType::float32)));
  if (!isSupportedElementType(type)) c.fail(fmt::format("makes a sequence of unsupported type {}", elementTypeName(type)));
  c.valueOutputs[0] = Value::sequence(type, {});
}

void sequenceConstructKernel(KernelContext& c) {
  std::vector<Tensor> elements;
  for (size_t i = 0; i < c.inputCount(); ++i) {
    elements.push_back(c.input(i));
    if (elements.back().type() != elements.front().type()) c.fail("mixes element types");
  }
  if (elements.empty()) c.fail("needs at least one tensor");
  const ElementType type = elements.front().type();
  c.valueOutputs[0] = Value::sequence(type, std::move(elements));
}

void sequenceInsertKernel(KernelContext& c) {
  const Value& sequence = valueAt(c, 0);
  std::vector<Tensor> elements = sequenceAt(c, 0);
  const Tensor& tensor = c.input(1);
  if (!elements.empty() && tensor.type() != sequence.elementType()) c.fail("inserts a tensor of another element type");
  const size_t at = c.hasInput(2) ? position(c, 2, elements.size(), true) : elements.size();
  elements.insert(elements.begin() + static_cast<std::ptrdiff_t>(at), tensor);
  c.valueOutputs[0] = Value::sequence(tensor.type(), std::move(elements));
}

void sequenceAtKernel(KernelContext& c) {
  const auto& elements = sequenceAt(c, 0);
  c.valueOutputs[0] = elements[position(c, 1, elements.size(), false)];
}

void sequenceEraseKernel(KernelContext& c) {
  const Value& sequence = valueAt(c, 0);
  std::vector<Tensor> elements = sequenceAt(c, 0);
  if (elements.empty()) c.fail("erases from an empty sequence");
  const size_t at = c.hasInput(1) ? position(c, 1, elements.size(), false) : elements.size() - 1;
  elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(at));
  c.valueOutputs[0] = Value::sequence(sequence.elementType(), std::move(elements));
}

void sequenceLengthKernel(KernelContext& c) {
  c.valueOutputs[0] = int64Scalar(static_cast<int64_t>(sequenceAt(c, 0).size()));
}

// Elements [begin, begin + length) along `axis`.
Tensor sliceRange(const Tensor& x, int64_t axis, int64_t begin, int64_t length) {
  Shape shape = x.shape();
  const int64_t outer = product(shape, 0, static_cast<size_t>(axis));
  const int64_t total = shape[static_cast<size_t>(axis)];
  const int64_t inner = product(shape, static_cast<size_t>(axis) + 1, shape.size());
  shape[static_cast<size_t>(axis)] = length;
  Tensor out(x.type(), shape, Tensor::Uninitialized{});
  for (int64_t o = 0; o < outer; ++o) out.copyElements(x, (o * total + begin) * inner, o * length * inner, length * inner);
  return out;
}

void splitToSequenceKernel(KernelContext& c) {
  const Tensor& x = c.input(0);
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), x.rank());
  const int64_t total = x.shape()[static_cast<size_t>(axis)];
  std::vector<int64_t> sizes;
  const bool split = c.hasInput(1);
  if (!split) {
    sizes.assign(static_cast<size_t>(total), 1);
  } else if (c.input(1).rank() == 0) {
    const int64_t chunk = c.input(1).integerAt(0);
    if (chunk <= 0) c.fail(fmt::format("splits into chunks of {}", chunk));
    for (int64_t at = 0; at < total; at += chunk) sizes.push_back(std::min(chunk, total - at));
  } else {
    sizes = c.input(1).integers();
    int64_t sum = 0;
    for (int64_t s : sizes) {
      if (s < 0) c.fail("splits into a negative size");
      sum += s;
    }
    if (sum != total) c.fail(fmt::format("splits {} elements into parts of {} in all", total, sum));
  }
  const bool squeeze = !split && c.node.intAttribute("keepdims", 1) == 0;
  std::vector<Tensor> parts;
  int64_t at = 0;
  for (int64_t size : sizes) {
    Tensor part = sliceRange(x, axis, at, size);
    if (squeeze) {
      Shape shape = part.shape();
      shape.erase(shape.begin() + axis);
      part = part.reshaped(shape);
    }
    parts.push_back(std::move(part));
    at += size;
  }
  c.valueOutputs[0] = Value::sequence(x.type(), std::move(parts));
}

void concatFromSequenceKernel(KernelContext& c) {
  const auto& elements = sequenceAt(c, 0);
  if (elements.empty()) c.fail("concatenates an empty sequence");
  const bool newAxis = c.node.intAttribute("new_axis", 0) != 0;
  const Shape& first = elements.front().shape();
  const int64_t rank = static_cast<int64_t>(first.size());
  const int64_t axis = normalizeAxis(c, c.node.intAttribute("axis", 0), newAxis ? rank + 1 : rank);
  Shape shape = first;
  if (newAxis) shape.insert(shape.begin() + axis, 1);
  int64_t total = 0;
  std::vector<Tensor> parts;
  for (const Tensor& e : elements) {
    Shape s = e.shape();
    if (newAxis) s.insert(s.begin() + axis, 1);
    bool fits = s.size() == shape.size() && e.type() == elements.front().type();
    for (size_t d = 0; fits && d < s.size(); ++d) fits = static_cast<int64_t>(d) == axis || s[d] == shape[d];
    if (!fits) c.fail(fmt::format("cannot concatenate {} with {}", shapeText(e.shape()), shapeText(first)));
    total += s[static_cast<size_t>(axis)];
    parts.push_back(e.reshaped(s));
  }
  shape[static_cast<size_t>(axis)] = total;
  Tensor out(elements.front().type(), shape, Tensor::Uninitialized{});
  const int64_t outer = product(shape, 0, static_cast<size_t>(axis));
  const int64_t inner = product(shape, static_cast<size_t>(axis) + 1, shape.size());
  int64_t offset = 0;
  for (const Tensor& part : parts) {
    const int64_t length = part.shape()[static_cast<size_t>(axis)];
    for (int64_t o = 0; o < outer; ++o) {
      out.copyElements(part, o * length * inner, (o * total + offset) * inner, length * inner);
    }
    offset += length;
  }
  c.valueOutputs[0] = out;
}

void checkSequenceMap(const Node& node) {
  const Graph* body = node.graphAttribute("body");
  auto refuse = [&](const std::string& problem) {
    throw MLModelError::invalidModel(fmt::format("{}: {}.", node.label(), problem));
  };
  if (body == nullptr) refuse("has no subgraph 'body'");
  if (body->inputs().size() != node.inputs.size()) {
    refuse(fmt::format("its body takes {} inputs, the node gives {}", body->inputs().size(), node.inputs.size()));
  }
  if (body->outputs().size() != node.outputs.size()) {
    refuse(fmt::format("its body gives {} outputs for {}", body->outputs().size(), node.outputs.size()));
  }
}

void sequenceMapKernel(KernelContext& c) {
  const Graph& body = *c.node.graphAttribute("body");
  const size_t count = sequenceAt(c, 0).size();
  for (size_t i = 1; i < c.node.inputs.size(); ++i) {
    const Value& extra = valueAt(c, i);
    if (extra.isSequence() && extra.elements().size() != count) c.fail("maps sequences of different lengths");
  }
  std::vector<std::vector<Tensor>> outputs(c.node.outputs.size());
  for (size_t k = 0; k < count; ++k) {
    std::vector<Value> inputs;
    for (size_t i = 0; i < c.node.inputs.size(); ++i) {
      const Value& v = valueAt(c, i);
      inputs.emplace_back(v.isSequence() ? Value(v.elements()[k]) : v);
    }
    auto results = body.runBody(*c.scope, std::move(inputs));
    for (size_t j = 0; j < results.size(); ++j) {
      if (!results[j].isTensor()) c.fail("gets a body output that is not a tensor");
      outputs[j].push_back(results[j].tensor());
    }
  }
  for (size_t j = 0; j < outputs.size(); ++j) {
    const ElementType declared = body.outputs()[j].type;
    const ElementType type = outputs[j].empty() ? (declared == ElementType::undefined ? ElementType::float32 : declared)
                                                : outputs[j].front().type();
    c.valueOutputs[j] = Value::sequence(type, std::move(outputs[j]));
  }
}

void optionalKernel(KernelContext& c) {
  const Value* value = c.valueInput(0);
  c.valueOutputs[0] = value != nullptr && !value->empty() ? *value : Value::none();
}

void optionalHasElementKernel(KernelContext& c) {
  const Value* value = c.valueInput(0);
  Tensor t(ElementType::bool_, {});
  t.data<bool>()[0] = value != nullptr && !value->empty() && !value->isNone();
  c.valueOutputs[0] = t;
}

void optionalGetElementKernel(KernelContext& c) {
  const Value& value = valueAt(c, 0);
  if (value.isNone()) c.fail("reads an empty optional");
  c.valueOutputs[0] = value;
}

}  // namespace

void addSequenceOperators(OperatorTable& table) {
  table.insert(table.end(), {
      {"SequenceEmpty", {sequenceEmptyKernel, false, true}},
      {"SequenceConstruct", {sequenceConstructKernel, false, true}},
      {"SequenceInsert", {sequenceInsertKernel, false, true}},
      {"SequenceAt", {sequenceAtKernel, false, true}},
      {"SequenceErase", {sequenceEraseKernel, false, true}},
      {"SequenceLength", {sequenceLengthKernel, false, true}},
      {"SplitToSequence", {splitToSequenceKernel, false, true}},
      {"ConcatFromSequence", {concatFromSequenceKernel, false, true}},
      {"SequenceMap", {sequenceMapKernel, false, true, checkSequenceMap}},
      {"Optional", {optionalKernel, false, true}},
      {"OptionalHasElement", {optionalHasElementKernel, false, true}},
      {"OptionalGetElement", {optionalGetElementKernel, false, true}},
  });
}

}  // namespace platform::ml
