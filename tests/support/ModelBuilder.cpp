#include "tests/support/ModelBuilder.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <onnx/onnx_pb.h>

#include "platform/ml/Float16.h"

namespace testsupport {

Attribute::Attribute(std::string n, int value) : name(std::move(n)), kind(Kind::intValue), i(value) {}
Attribute::Attribute(std::string n, int64_t value) : name(std::move(n)), kind(Kind::intValue), i(value) {}
Attribute::Attribute(std::string n, float value) : name(std::move(n)), kind(Kind::floatValue), f(value) {}
Attribute::Attribute(std::string n, const char* value) : name(std::move(n)), kind(Kind::stringValue), s(value) {}
Attribute::Attribute(std::string n, std::vector<int64_t> values) : name(std::move(n)), kind(Kind::ints), ints(std::move(values)) {}
Attribute::Attribute(std::string n, std::vector<float> values) : name(std::move(n)), kind(Kind::floats), floats(std::move(values)) {}
Attribute::Attribute(std::string n, TensorValue value) : name(std::move(n)), kind(Kind::tensor), tensor(std::move(value)) {}
Attribute::Attribute(std::string n, const ModelBuilder& g)
    : name(std::move(n)), kind(Kind::graph), graph(std::make_shared<ModelBuilder>(g)) {}

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string rawBytes(const TensorValue& value) {
  std::string bytes;
  auto append = [&](const auto& v) { bytes.append(reinterpret_cast<const char*>(&v), sizeof(v)); };
  for (double v : value.values) {
    switch (value.type) {
      case ElementType::float32: append(static_cast<float>(v)); break;
      case ElementType::float64: append(v); break;
      case ElementType::float16: append(platform::float16FromFloat(static_cast<float>(v))); break;
      case ElementType::int32: append(static_cast<int32_t>(v)); break;
      case ElementType::int64: append(static_cast<int64_t>(v)); break;
      case ElementType::int8: append(static_cast<int8_t>(v)); break;
      case ElementType::uint8: append(static_cast<uint8_t>(v)); break;
      case ElementType::int16: append(static_cast<int16_t>(v)); break;
      case ElementType::uint16: append(static_cast<uint16_t>(v)); break;
      case ElementType::uint32: append(static_cast<uint32_t>(v)); break;
      case ElementType::uint64: append(static_cast<uint64_t>(v)); break;
      case ElementType::bfloat16: {
        const float f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof(bits));
        append(static_cast<uint16_t>(bits >> 16));
        break;
      }
      case ElementType::bool_: append(static_cast<uint8_t>(v != 0)); break;
      case ElementType::string: break;
    }
  }
  return bytes;
}

void fillTensor(onnx::TensorProto& proto, const std::string& name, const TensorValue& value, std::string* external,
                const char* externalFile) {
  proto.set_name(name);
  proto.set_data_type(static_cast<int32_t>(value.type));
  for (int64_t d : value.dims) proto.add_dims(d);
  if (value.type == ElementType::string) {
    for (const auto& text : value.strings) proto.add_string_data(text);
    return;
  }
  const std::string bytes = rawBytes(value);
  if (external != nullptr) {
    proto.set_data_location(onnx::TensorProto::EXTERNAL);
    auto add = [&](const char* key, const std::string& v) {
      auto* entry = proto.add_external_data();
      entry->set_key(key);
      entry->set_value(v);
    };
    add("location", externalFile);
    add("offset", std::to_string(external->size()));
    add("length", std::to_string(bytes.size()));
    external->append(bytes);
  } else {
    proto.set_raw_data(bytes);
  }
}

void fillValueInfo(onnx::ValueInfoProto& proto, const std::string& name, ElementType type, const std::vector<int64_t>& dims,
                   bool hasShape) {
  proto.set_name(name);
  auto* tensor = proto.mutable_type()->mutable_tensor_type();
  tensor->set_elem_type(static_cast<int32_t>(type));
  if (!hasShape) return;
  auto* shape = tensor->mutable_shape();
  int open = 0;
  for (int64_t d : dims) {
    auto* dim = shape->add_dim();
    if (d < 0) dim->set_dim_param("n" + std::to_string(open++));
    else dim->set_dim_value(d);
  }
}

}  // namespace

ModelBuilder::ModelBuilder(std::string name) : name_(std::move(name)) {}

ModelBuilder& ModelBuilder::opset(int version) { opset_ = version; return *this; }

ModelBuilder& ModelBuilder::input(const std::string& name, ElementType type, std::vector<int64_t> dims) {
  inputs_.push_back({name, type, std::move(dims)});
  return *this;
}

ModelBuilder& ModelBuilder::output(const std::string& name, ElementType type, std::vector<int64_t> dims) {
  outputs_.push_back({name, type, std::move(dims)});
  return *this;
}

ModelBuilder& ModelBuilder::sequenceOutput(const std::string& name, ElementType type) {
  outputs_.push_back({name, type, {}, false, true});
  return *this;
}

ModelBuilder& ModelBuilder::inputWithoutShape(const std::string& name, ElementType type) {
  inputs_.push_back({name, type, {}, false});
  return *this;
}

ModelBuilder& ModelBuilder::outputWithoutShape(const std::string& name, ElementType type) {
  outputs_.push_back({name, type, {}, false});
  return *this;
}

ModelBuilder& ModelBuilder::initializer(const std::string& name, TensorValue value) {
  initializers_.emplace_back(name, std::move(value));
  return *this;
}

ModelBuilder& ModelBuilder::node(const std::string& opType, std::vector<std::string> inputs, std::vector<std::string> outputs,
                                 std::vector<Attribute> attributes, const std::string& domain) {
  nodes_.push_back({opType, domain, std::move(inputs), std::move(outputs), std::move(attributes)});
  return *this;
}

ModelBuilder& ModelBuilder::named(const std::string& nodeName) {
  nodes_.back().name = nodeName;
  return *this;
}

ModelBuilder& ModelBuilder::metadataProperty(const std::string& key, const std::string& value) {
  metadataProperties_[key] = value;
  return *this;
}

ModelBuilder& ModelBuilder::creatorDefined(const std::string& key, const std::string& value) {
  creatorDefined_[key] = value;
  return *this;
}

ModelBuilder& ModelBuilder::author(const std::string& author) { author_ = author; return *this; }
ModelBuilder& ModelBuilder::state(const std::string& name) { states_.push_back(name); return *this; }

ModelBuilder& ModelBuilder::function(const std::string& name, const ModelBuilder& network) {
  functions_.emplace_back(name, std::make_shared<ModelBuilder>(network));
  return *this;
}

ModelBuilder& ModelBuilder::defaultFunction(const std::string& name) { defaultFunction_ = name; return *this; }

ModelBuilder& ModelBuilder::enumeratedShapes(const std::string& input, std::vector<std::vector<int64_t>> shapes) {
  enumeratedShapes_[input] = std::move(shapes);
  return *this;
}

ModelBuilder& ModelBuilder::shapeRange(const std::string& input, std::vector<std::pair<int64_t, int64_t>> ranges) {
  shapeRanges_[input] = std::move(ranges);
  return *this;
}

ModelBuilder& ModelBuilder::externalWeights(bool on) { externalWeights_ = on; return *this; }

std::string ModelBuilder::serialize() const { return serialize(nullptr); }

// Writes a builder's graph; subgraphs of node attributes recursively.
struct GraphWriter {
  static void fill(const ModelBuilder& b, onnx::GraphProto& graph, std::string* external, const char* externalFile) {
    graph.set_name(b.name_);
    for (const auto& v : b.inputs_) fillValueInfo(*graph.add_input(), v.name, v.type, v.dims, v.hasShape);
    for (const auto& v : b.outputs_) {
      auto& output = *graph.add_output();
      if (v.sequence) {
        output.set_name(v.name);
        output.mutable_type()->mutable_sequence_type()->mutable_elem_type()->mutable_tensor_type()->set_elem_type(
            static_cast<int32_t>(v.type));
      } else {
        fillValueInfo(output, v.name, v.type, v.dims, v.hasShape);
      }
    }
    for (const auto& [name, value] : b.initializers_) fillTensor(*graph.add_initializer(), name, value, external, externalFile);
    for (const auto& planned : b.nodes_) {
      auto* node = graph.add_node();
      node->set_op_type(planned.opType);
      node->set_domain(planned.domain);
      if (!planned.name.empty()) node->set_name(planned.name);
      for (const auto& i : planned.inputs) node->add_input(i);
      for (const auto& o : planned.outputs) node->add_output(o);
      for (const auto& a : planned.attributes) fillAttribute(*node->add_attribute(), a);
    }
  }

  static void fillAttribute(onnx::AttributeProto& attribute, const Attribute& a) {
    attribute.set_name(a.name);
    switch (a.kind) {
      case Attribute::Kind::intValue: attribute.set_type(onnx::AttributeProto::INT); attribute.set_i(a.i); break;
      case Attribute::Kind::floatValue: attribute.set_type(onnx::AttributeProto::FLOAT); attribute.set_f(a.f); break;
      case Attribute::Kind::stringValue: attribute.set_type(onnx::AttributeProto::STRING); attribute.set_s(a.s); break;
      case Attribute::Kind::ints:
        attribute.set_type(onnx::AttributeProto::INTS);
        for (int64_t v : a.ints) attribute.add_ints(v);
        break;
      case Attribute::Kind::floats:
        attribute.set_type(onnx::AttributeProto::FLOATS);
        for (float v : a.floats) attribute.add_floats(v);
        break;
      case Attribute::Kind::tensor:
        attribute.set_type(onnx::AttributeProto::TENSOR);
        fillTensor(*attribute.mutable_t(), a.name, a.tensor, nullptr, nullptr);
        break;
      case Attribute::Kind::graph:
        attribute.set_type(onnx::AttributeProto::GRAPH);
        fill(*a.graph, *attribute.mutable_g(), nullptr, nullptr);
        break;
    }
  }
};

std::string ModelBuilder::serialize(const std::filesystem::path* externalFolder) const {
  onnx::ModelProto model;
  model.set_ir_version(8);
  model.set_producer_name("ModelBuilder");
  auto* opset = model.add_opset_import();
  opset->set_domain("");
  opset->set_version(opset_);
  for (const auto& [key, value] : metadataProperties_) {
    auto* entry = model.add_metadata_props();
    entry->set_key(key);
    entry->set_value(value);
  }
  std::string external;
  const char* externalFile = "weights.bin";
  GraphWriter::fill(*this, *model.mutable_graph(), externalFolder ? &external : nullptr, externalFile);
  if (externalFolder != nullptr && !external.empty()) writeFile(*externalFolder / externalFile, external);
  return model.SerializeAsString();
}

std::string ModelBuilder::metadataJson() const {
  nlohmann::json json = nlohmann::json::object();
  if (!author_.empty()) json["author"] = author_;
  if (!creatorDefined_.empty()) json["creatorDefined"] = creatorDefined_;
  if (!states_.empty()) json["states"] = states_;
  if (!functions_.empty()) {
    for (const auto& [name, network] : functions_) json["functions"][name] = name + ".onnx";
  }
  if (!defaultFunction_.empty()) json["defaultFunctionName"] = defaultFunction_;
  for (const auto& [input, shapes] : enumeratedShapes_) json["inputs"][input]["enumeratedShapes"] = shapes;
  for (const auto& [input, ranges] : shapeRanges_) {
    for (const auto& [lower, upper] : ranges) json["inputs"][input]["shapeRange"].push_back({lower, upper});
  }
  return json.dump(2);
}

void ModelBuilder::writeFolder(const std::filesystem::path& folder, bool marker) const {
  std::filesystem::create_directories(folder);
  if (marker) writeFile(folder / "coremldata.bin", "onnx\n");
  writeFile(folder / "model.onnx", externalWeights_ ? serialize(&folder) : serialize(nullptr));
  writeFile(folder / "metadata.json", metadataJson());
  for (const auto& [name, network] : functions_) writeFile(folder / (name + ".onnx"), network->serialize());
}

std::filesystem::path ModelBuilder::writeBundle(const std::filesystem::path& folder) const {
  const auto path = folder / (name_ + ".mlmodelc");
  writeFolder(path, true);
  return path;
}

std::filesystem::path ModelBuilder::installBundle(const std::filesystem::path& bundle) const {
  const std::filesystem::path folder = bundle.parent_path();
  std::filesystem::create_directories(folder);
  std::filesystem::remove_all(bundle);
  const std::filesystem::path written = writeBundle(folder / ".install");
  std::filesystem::rename(written, bundle);
  std::filesystem::remove_all(folder / ".install");
  return bundle;
}

std::filesystem::path ModelBuilder::writePackage(const std::filesystem::path& folder) const {
  const auto path = folder / (name_ + ".mlpackage");
  writeFolder(path, false);
  return path;
}

}  // namespace testsupport
