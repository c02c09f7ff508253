#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Element types of the builder, numbered as in ONNX.
enum class ElementType : int32_t {
  float32 = 1,
  uint8 = 2,
  int8 = 3,
  uint16 = 4,
  int16 = 5,
  int32 = 6,
  int64 = 7,
  string = 8,
  bool_ = 9,
  float16 = 10,
  float64 = 11,
  uint32 = 12,
  uint64 = 13,
  bfloat16 = 16,
};

class ModelBuilder;

// A constant tensor for initializers and tensor attributes. Values are given as doubles and stored in
// the tensor's element type (float16 as IEEE binary16); string tensors take `strings` instead.
struct TensorValue {
  ElementType type = ElementType::float32;
  std::vector<int64_t> dims;
  std::vector<double> values;
  std::vector<std::string> strings = {};

  // A one-dimensional int64 tensor of `values` (shapes, axes, slice bounds).
  static TensorValue int64s(const std::vector<int64_t>& values) {
    return {ElementType::int64, {static_cast<int64_t>(values.size())}, {values.begin(), values.end()}, {}};
  }
};

// One node attribute.
struct Attribute {
  Attribute(std::string name, int value);
  Attribute(std::string name, int64_t value);
  Attribute(std::string name, float value);
  Attribute(std::string name, const char* value);
  Attribute(std::string name, std::vector<int64_t> values);
  Attribute(std::string name, std::vector<float> values);
  Attribute(std::string name, TensorValue value);
  // A subgraph (If branches, Loop and Scan bodies): the builder's inputs, outputs, initializers and
  // nodes; names it reads but does not define come from the enclosing graphs.
  Attribute(std::string name, const ModelBuilder& graph);

  std::string name;
  enum class Kind { intValue, floatValue, stringValue, ints, floats, tensor, graph } kind;
  int64_t i = 0;
  float f = 0;
  std::string s;
  std::vector<int64_t> ints;
  std::vector<float> floats;
  TensorValue tensor;
  std::shared_ptr<const ModelBuilder> graph;
};

// Builds small ONNX networks in code and writes them as the model folders this build loads:
//
//   ModelBuilder linear("Linear");
//   linear.input("x", ElementType::float32, {1, 2})
//         .output("y", ElementType::float32, {1, 1})
//         .initializer("w", {ElementType::float32, {2, 1}, {3, 4}})
//         .node("MatMul", {"x", "w"}, {"y"});
//   auto bundle = linear.writeBundle(folder.path());   // folder/Linear.mlmodelc/
//
// Dimensions of -1 are left open (a named dimension in the file).
class ModelBuilder {
 public:
  explicit ModelBuilder(std::string name = "Model");

  ModelBuilder& opset(int version);
  ModelBuilder& input(const std::string& name, ElementType type, std::vector<int64_t> dims);
  ModelBuilder& output(const std::string& name, ElementType type, std::vector<int64_t> dims);
  // An output without any shape information in the file.
  ModelBuilder& outputWithoutShape(const std::string& name, ElementType type);
  // An output that is a sequence of tensors of `type`.
  ModelBuilder& sequenceOutput(const std::string& name, ElementType type);
  // An input without any shape information (subgraph inputs whose shapes change between runs).
  ModelBuilder& inputWithoutShape(const std::string& name, ElementType type);
  ModelBuilder& initializer(const std::string& name, TensorValue value);
  ModelBuilder& node(const std::string& opType, std::vector<std::string> inputs, std::vector<std::string> outputs,
                     std::vector<Attribute> attributes = {}, const std::string& domain = "");
  // Names the node added last (nodes are unnamed otherwise).
  ModelBuilder& named(const std::string& nodeName);
  // An entry of the ONNX file's own metadata properties.
  ModelBuilder& metadataProperty(const std::string& key, const std::string& value);
  // Members of metadata.json.
  ModelBuilder& creatorDefined(const std::string& key, const std::string& value);
  ModelBuilder& author(const std::string& author);
  ModelBuilder& state(const std::string& name);
  ModelBuilder& function(const std::string& name, const ModelBuilder& network);
  ModelBuilder& defaultFunction(const std::string& name);
  ModelBuilder& enumeratedShapes(const std::string& input, std::vector<std::vector<int64_t>> shapes);
  ModelBuilder& shapeRange(const std::string& input, std::vector<std::pair<int64_t, int64_t>> ranges);
  // Initializers go to an external-data file "weights.bin" beside model.onnx.
  ModelBuilder& externalWeights(bool on = true);

  const std::string& name() const { return name_; }
  // The serialized model.onnx (initializers inline).
  std::string serialize() const;

  // Writes folder/<name>.mlmodelc/ (coremldata.bin, model.onnx, metadata.json, function files,
  // external weights) and returns its path.
  std::filesystem::path writeBundle(const std::filesystem::path& folder) const;
  // Writes the bundle at exactly `bundle` (any folder name), replacing what is there, the way a
  // finished download puts it in place: beside it first, then renamed. Returns `bundle`.
  std::filesystem::path installBundle(const std::filesystem::path& bundle) const;
  // Writes folder/<name>.mlpackage/ with the same files but coremldata.bin.
  std::filesystem::path writePackage(const std::filesystem::path& folder) const;

 private:
  struct Value {
    std::string name;
    ElementType type;
    std::vector<int64_t> dims;
    bool hasShape = true;
    bool sequence = false;
  };
  struct PlannedNode {
    std::string opType, domain;
    std::vector<std::string> inputs, outputs;
    std::vector<Attribute> attributes;
    std::string name = {};
  };

  friend struct GraphWriter;  // writes subgraphs into their node's attribute
  void writeFolder(const std::filesystem::path& folder, bool marker) const;
  std::string serialize(const std::filesystem::path* externalFolder) const;
  std::string metadataJson() const;

  std::string name_;
  int opset_ = 17;
  std::vector<Value> inputs_, outputs_;
  std::vector<std::pair<std::string, TensorValue>> initializers_;
  std::vector<PlannedNode> nodes_;
  std::map<std::string, std::string> metadataProperties_;
  std::map<std::string, std::string> creatorDefined_;
  std::string author_;
  std::vector<std::string> states_;
  std::vector<std::pair<std::string, std::shared_ptr<ModelBuilder>>> functions_;
  std::string defaultFunction_;
  std::map<std::string, std::vector<std::vector<int64_t>>> enumeratedShapes_;
  std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> shapeRanges_;
  bool externalWeights_ = false;
};

}  // namespace testsupport
