#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ml/Tensor.h"

namespace platform::ml {

struct OperatorEntry;

// One attribute of a node.
struct Attribute {
  enum class Kind { floatValue, intValue, stringValue, tensor, floats, ints, strings, other };
  Kind kind = Kind::other;
  float f = 0;
  int64_t i = 0;
  std::string s;
  Tensor t;
  std::vector<float> floats;
  std::vector<int64_t> ints;
  std::vector<std::string> strings;
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

  bool hasAttribute(const std::string& key) const { return attributes.count(key) != 0; }
  int64_t intAttribute(const std::string& key, int64_t fallback) const;
  float floatAttribute(const std::string& key, float fallback) const;
  std::string stringAttribute(const std::string& key, const std::string& fallback) const;
  // The list, or null when the node has none under the key.
  const std::vector<int64_t>* intsAttribute(const std::string& key) const;
  const std::vector<float>* floatsAttribute(const std::string& key) const;
  const Tensor* tensorAttribute(const std::string& key) const;
  // "Op 'name'" for error texts.
  std::string label() const;
};

// A graph input or output: name, element type and dimensions (-1 where the network leaves a size open;
// no dimensions at all when the file gives no shape).
struct ValueInfo {
  std::string name;
  ElementType type = ElementType::undefined;
  Shape dims;
  bool hasShape = false;
};

// A network read from an ONNX file, ready to run. Immutable after loading: run() may be called from
// several threads at once.
class Graph {
 public:
  // Parses `bytes` as an ONNX model. External-data weight files are looked up in `folder` and must
  // stay inside it. Throws MLModelError: invalidModel when the bytes do not parse or the graph does not
  // fit together, unsupportedOperator / unsupportedElementType naming what this executor lacks, io
  // when an external-data file cannot be read.
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
  std::map<std::string, Tensor> run(const std::map<std::string, Tensor>& feeds) const;

  // Everything one run needs, built by load().
  Graph() = default;

 private:
  friend class GraphLoader;

  std::vector<ValueInfo> inputs_;
  std::vector<int> inputSlots_;
  std::vector<ValueInfo> outputs_;
  std::vector<int> outputSlots_;
  std::vector<Tensor> constants_;   // per slot; empty where the value is computed
  std::vector<Node> nodes_;
  std::vector<std::vector<int>> releaseAfter_;  // per node: slots nobody reads afterwards
  size_t slotCount_ = 0;
  std::map<std::string, std::string> metadata_;
  std::set<std::string> operatorTypes_;
};

}  // namespace platform::ml
