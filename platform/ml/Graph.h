#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ml/Tensor.h"
#include "platform/ml/Value.h"

namespace platform::ml {

struct OperatorEntry;
class Graph;

// One attribute of a node.
struct Attribute {
  enum class Kind { floatValue, intValue, stringValue, tensor, floats, ints, strings, graph, graphs, typeProto, other };
  Kind kind = Kind::other;
  float f = 0;
  int64_t i = 0;
  std::string s;
  Tensor t;
  std::vector<float> floats;
  std::vector<int64_t> ints;
  std::vector<std::string> strings;
  std::vector<std::shared_ptr<const Graph>> graphs;  // one for kind graph
};

// One operator application. Inputs and outputs are value slots of the graph; -1 marks an omitted
// optional input or output.
struct Node {
  std::string opType;
  std::string name;
  std::vector<int> inputs;
  std::vector<int> outputs;
  std::map<std::string, Attribute> attributes;
  const OperatorEntry* op = nullptr;
  int opset = 0;
  // Slots of the enclosing graph that the node's subgraphs read: they stay alive until the node ran.
  std::vector<int> implicitInputs;

  bool hasAttribute(const std::string& key) const { return attributes.count(key) != 0; }
  int64_t intAttribute(const std::string& key, int64_t fallback) const;
  float floatAttribute(const std::string& key, float fallback) const;
  std::string stringAttribute(const std::string& key, const std::string& fallback) const;
  // The list, or null when the node has none under the key.
  const std::vector<int64_t>* intsAttribute(const std::string& key) const;
  const std::vector<float>* floatsAttribute(const std::string& key) const;
  const Tensor* tensorAttribute(const std::string& key) const;
  // The subgraph under the key, or null.
  const Graph* graphAttribute(const std::string& key) const;
  // "Op 'name'" for error texts.
  std::string label() const;
};

// A graph input or output: name, kind, element type (of the tensor, or of a sequence's tensors) and
// dimensions (-1 where the network leaves a size open; no dimensions at all when the file gives no
// shape). Subgraph inputs and outputs may leave the type out (undefined).
struct ValueInfo {
  enum class Kind { tensor, sequence, optionalTensor, optionalSequence };
  std::string name;
  Kind kind = Kind::tensor;
  ElementType type = ElementType::undefined;
  Shape dims;
  bool hasShape = false;
};

// The values of one running graph (by slot) and the frame of the graph that encloses it: a subgraph
// reads its enclosing graphs' values through this chain instead of copying them.
struct Frame {
  const Graph* graph = nullptr;
  const std::vector<Value>* values = nullptr;
  const Frame* parent = nullptr;

  // The value of `slot` of this frame's graph, wherever it lives.
  const Value& at(int slot) const;
};

// A network read from an ONNX file, ready to run, or one of its subgraphs (the body of an If, Loop,
// Scan or SequenceMap), which reads values of every enclosing graph by name. Immutable after loading:
// run() may be called from several threads at once.
class Graph {
 public:
  // Parses `bytes` as an ONNX model. External-data weight files are looked up in `folder` and must
  // stay inside it. Throws MLModelError: invalidModel when the bytes do not parse or the graph does not
  // fit together (also inside subgraphs, which nest at most kMaxNesting deep),
  // unsupportedOperator / unsupportedElementType naming what this executor lacks (in any subgraph,
  // taken or not), io when an external-data file cannot be read.
  static std::shared_ptr<const Graph> load(const std::string& bytes, const std::filesystem::path& folder);

  // Reads one serialized ONNX TensorProto. Throws MLModelError(invalidModel / unsupportedElementType).
  static Tensor parseTensor(const std::string& bytes);

  const std::vector<ValueInfo>& inputs() const { return inputs_; }
  const std::vector<ValueInfo>& outputs() const { return outputs_; }
  const std::map<std::string, std::string>& metadataProperties() const { return metadata_; }
  const std::set<std::string>& operatorTypes() const { return operatorTypes_; }

  // Runs the network on `feeds` (one tensor per input, its element type, its fixed dimensions) and
  // returns every graph output by name. Throws MLModelError(featureType) for a missing or mis-typed
  // feed and MLModelError(generic) when an operator fails on the values it is given.
  // REQUIRES: every input and output is a tensor (see runValues).
  std::map<std::string, Tensor> run(const std::map<std::string, Tensor>& feeds) const;

  // The same for networks whose inputs or outputs are sequences or optionals.
  std::map<std::string, Value> runValues(const std::map<std::string, Value>& feeds) const;

  // Runs a subgraph: `scope` is the frame of the graph that encloses it, `inputs` its own inputs in
  // order. Returns its outputs in order. Throws like run().
  // REQUIRES: inputs.size() == inputs().size(), scope is the enclosing graph's frame.
  std::vector<Value> runBody(const Frame& scope, std::vector<Value> inputs) const;

  // How deep subgraphs may nest inside a network.
  static constexpr int kMaxNesting = 64;

  // Everything one run needs, built by load().
  Graph() = default;

 private:
  friend class GraphLoader;
  friend struct Frame;

  // Runs every node over `values` (one per slot, inputs and constants already in place); captured
  // values are read through `parent`.
  void execute(std::vector<Value>& values, const Frame* parent) const;

  std::vector<ValueInfo> inputs_;
  std::vector<int> inputSlots_;
  std::vector<ValueInfo> outputs_;
  std::vector<int> outputSlots_;
  // Per slot: where its value lives. Constants and enclosing values are read in place, never copied
  // into a run's own values.
  static constexpr int kOwnValue = -1;
  static constexpr int kConstant = -2;
  std::vector<int> slotSource_;     // kOwnValue, kConstant, or the enclosing graph's slot it reads
  std::vector<Value> constants_;    // per slot; empty where the value is not constant
  std::vector<bool> outputMovable_;  // per output: its own value, listed once, so it can be moved out
  std::vector<Node> nodes_;
  std::vector<std::string> producers_;  // per slot: label of the node that writes it; empty for others
  std::vector<std::vector<int>> releaseAfter_;  // per node: slots nobody reads afterwards
  size_t slotCount_ = 0;
  std::map<std::string, std::string> metadata_;
  std::set<std::string> operatorTypes_;
};

}  // namespace platform::ml
