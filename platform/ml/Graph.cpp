#include "platform/ml/Graph.h"

#include <cassert>
#include <cstring>
#include <fstream>
#include <limits>
#include <unordered_map>

#include <fmt/format.h>
#include <google/protobuf/io/coded_stream.h>
#include <onnx/onnx_pb.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLModelError.h"
#include "platform/ml/Operators.h"

namespace platform::ml {

int64_t Node::intAttribute(const std::string& key, int64_t fallback) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? fallback : it->second.i;
}

float Node::floatAttribute(const std::string& key, float fallback) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? fallback : it->second.f;
}

std::string Node::stringAttribute(const std::string& key, const std::string& fallback) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? fallback : it->second.s;
}

const std::vector<int64_t>* Node::intsAttribute(const std::string& key) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : &it->second.ints;
}

const std::vector<float>* Node::floatsAttribute(const std::string& key) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : &it->second.floats;
}

const Tensor* Node::tensorAttribute(const std::string& key) const {
  auto it = attributes.find(key);
  return it == attributes.end() || it->second.kind != Attribute::Kind::tensor ? nullptr : &it->second.t;
}

const Graph* Node::graphAttribute(const std::string& key) const {
  auto it = attributes.find(key);
  if (it == attributes.end() || it->second.kind != Attribute::Kind::graph) return nullptr;
  return it->second.graphs.front().get();
}

std::string Node::label() const { return name.empty() ? opType : fmt::format("{} '{}'", opType, name); }

namespace {

// Reads a byte range of an external-data file that must lie inside `folder`.
std::string readExternalData(const onnx::TensorProto& proto, const std::filesystem::path& folder) {
  std::string location;
  int64_t offset = 0;
  int64_t length = -1;
  for (const auto& entry : proto.external_data()) {
    try {
      if (entry.key() == "location") location = entry.value();
      if (entry.key() == "offset") offset = std::stoll(entry.value());
      if (entry.key() == "length") length = std::stoll(entry.value());
    } catch (const std::exception&) {
      throw MLModelError::invalidModel(fmt::format("Tensor '{}' has an unreadable external-data entry '{}'.",
                                                   proto.name(), entry.key()));
    }
  }
  const std::filesystem::path relative(location);
  if (location.empty() || relative.is_absolute() || relative.lexically_normal().string().starts_with("..")) {
    throw MLModelError::invalidModel(
        fmt::format("Tensor '{}' names external data '{}' outside the model folder.", proto.name(), location));
  }
  const auto path = folder / relative;
  std::ifstream file(path, std::ios::binary);
  if (!file) throw MLModelError::io(fmt::format("Cannot open external data '{}' of tensor '{}'.", path.string(), proto.name()));
  file.seekg(0, std::ios::end);
  const int64_t size = file.tellg();
  if (offset < 0 || offset > size) {
    throw MLModelError::invalidModel(fmt::format("External data '{}' is shorter than offset {}.", path.string(), offset));
  }
  if (length < 0) length = size - offset;
  if (length > size - offset) {
    throw MLModelError::invalidModel(
        fmt::format("External data '{}' holds {} bytes, tensor '{}' wants {} from offset {}.", path.string(), size,
                    proto.name(), length, offset));
  }
  std::string bytes(static_cast<size_t>(length), '\0');
  file.seekg(offset);
  file.read(bytes.data(), length);
  if (!file) throw MLModelError::io(fmt::format("Cannot read external data '{}'.", path.string()));
  return bytes;
}

template <class Field>
void checkFieldSize(const onnx::TensorProto& proto, const Field& field, int64_t count) {
  if (static_cast<int64_t>(field.size()) != count) {
    throw MLModelError::invalidModel(fmt::format("Tensor '{}' holds {} values for {} elements.", proto.name(),
                                                 field.size(), count));
  }
}

// Small integer types travel in a wider repeated field.
template <class T, class Field>
void copyNarrowed(const onnx::TensorProto& proto, const Field& field, Tensor& tensor) {
  checkFieldSize(proto, field, tensor.count());
  for (int64_t i = 0; i < tensor.count(); ++i) tensor.data<T>()[i] = static_cast<T>(field.Get(static_cast<int>(i)));
}

Tensor tensorFromProto(const onnx::TensorProto& proto, const std::filesystem::path* folder) {
  const auto type = static_cast<ElementType>(proto.data_type());
  if (!isSupportedElementType(type)) {
    throw MLModelError::unsupportedElementType(
        fmt::format("Tensor '{}' has unsupported element type {}.", proto.name(), elementTypeName(type)));
  }
  if (proto.has_segment()) throw MLModelError::invalidModel(fmt::format("Tensor '{}' is segmented.", proto.name()));
  Shape shape(proto.dims().begin(), proto.dims().end());
  Tensor tensor(type, shape);
  const int64_t count = tensor.count();
  const size_t bytes = tensor.byteSize();

  std::string external;
  const std::string* raw = nullptr;
  if (proto.data_location() == onnx::TensorProto::EXTERNAL) {
    if (folder == nullptr) throw MLModelError::invalidModel(fmt::format("Tensor '{}' uses external data.", proto.name()));
    external = readExternalData(proto, *folder);
    raw = &external;
  } else if (proto.has_raw_data()) {
    raw = &proto.raw_data();
  }

  if (raw != nullptr && type == ElementType::string) {
    throw MLModelError::invalidModel(fmt::format("Tensor '{}' holds strings as raw bytes.", proto.name()));
  }
  if (raw != nullptr) {
    if (raw->size() != bytes) {
      throw MLModelError::invalidModel(
          fmt::format("Tensor '{}' holds {} bytes for {} elements of {}.", proto.name(), raw->size(), count, elementTypeName(type)));
    }
    std::memcpy(tensor.bytes(), raw->data(), bytes);
    if (type == ElementType::bool_) {
      auto* b = reinterpret_cast<uint8_t*>(tensor.bytes());
      for (int64_t i = 0; i < count; ++i) b[i] = b[i] != 0;
    }
    return tensor;
  }

  switch (type) {
    case ElementType::float32:
      checkFieldSize(proto, proto.float_data(), count);
      std::copy(proto.float_data().begin(), proto.float_data().end(), tensor.data<float>());
      break;
    case ElementType::float64:
      checkFieldSize(proto, proto.double_data(), count);
      std::copy(proto.double_data().begin(), proto.double_data().end(), tensor.data<double>());
      break;
    case ElementType::int64:
      checkFieldSize(proto, proto.int64_data(), count);
      std::copy(proto.int64_data().begin(), proto.int64_data().end(), tensor.data<int64_t>());
      break;
    case ElementType::int32:
      checkFieldSize(proto, proto.int32_data(), count);
      std::copy(proto.int32_data().begin(), proto.int32_data().end(), tensor.data<int32_t>());
      break;
    case ElementType::float16:
      checkFieldSize(proto, proto.int32_data(), count);
      for (int64_t i = 0; i < count; ++i) tensor.data<uint16_t>()[i] = static_cast<uint16_t>(proto.int32_data(static_cast<int>(i)));
      break;
    case ElementType::bool_:
      checkFieldSize(proto, proto.int32_data(), count);
      for (int64_t i = 0; i < count; ++i) tensor.data<bool>()[i] = proto.int32_data(static_cast<int>(i)) != 0;
      break;
    case ElementType::int8: copyNarrowed<int8_t>(proto, proto.int32_data(), tensor); break;
    case ElementType::uint8: copyNarrowed<uint8_t>(proto, proto.int32_data(), tensor); break;
    case ElementType::int16: copyNarrowed<int16_t>(proto, proto.int32_data(), tensor); break;
    case ElementType::uint16: copyNarrowed<uint16_t>(proto, proto.int32_data(), tensor); break;
    case ElementType::uint32: copyNarrowed<uint32_t>(proto, proto.uint64_data(), tensor); break;
    case ElementType::uint64: copyNarrowed<uint64_t>(proto, proto.uint64_data(), tensor); break;
    case ElementType::string:
      checkFieldSize(proto, proto.string_data(), count);
      std::copy(proto.string_data().begin(), proto.string_data().end(), tensor.data<std::string>());
      break;
    default:
      break;
  }
  return tensor;
}

void readElementType(ValueInfo& info, int32_t elementType) {
  info.type = static_cast<ElementType>(elementType);
  if (!isSupportedElementType(info.type)) {
    throw MLModelError::unsupportedElementType(
        fmt::format("Value '{}' has unsupported element type {}.", info.name, elementTypeName(info.type)));
  }
}

void readTensorType(ValueInfo& info, const onnx::TypeProto::Tensor& tensorType) {
  readElementType(info, tensorType.elem_type());
  if (tensorType.has_shape()) {
    info.hasShape = true;
    for (const auto& dim : tensorType.shape().dim()) {
      info.dims.push_back(dim.has_dim_value() && dim.dim_value() >= 0 ? dim.dim_value() : -1);
    }
  }
}

// A sequence of tensors, possibly typed only partly (subgraph values often are).
void readSequenceType(ValueInfo& info, const onnx::TypeProto::Sequence& sequence) {
  const auto& element = sequence.elem_type();
  if (element.has_tensor_type()) {
    if (element.tensor_type().elem_type() != 0) readElementType(info, element.tensor_type().elem_type());
  } else if (element.value_case() != onnx::TypeProto::VALUE_NOT_SET) {
    throw MLModelError::unsupportedElementType(fmt::format("Value '{}' is a sequence of non-tensors.", info.name));
  }
}

// `subgraph`: a body's inputs and outputs may leave their type out.
ValueInfo valueInfoFromProto(const onnx::ValueInfoProto& proto, bool subgraph) {
  ValueInfo info;
  info.name = proto.name();
  const auto& type = proto.type();
  if (type.has_tensor_type()) {
    if (subgraph && type.tensor_type().elem_type() == 0) return info;
    readTensorType(info, type.tensor_type());
  } else if (type.has_sequence_type()) {
    info.kind = ValueInfo::Kind::sequence;
    readSequenceType(info, type.sequence_type());
  } else if (type.has_optional_type()) {
    const auto& element = type.optional_type().elem_type();
    if (element.has_tensor_type()) {
      info.kind = ValueInfo::Kind::optionalTensor;
      if (element.tensor_type().elem_type() != 0) readTensorType(info, element.tensor_type());
    } else if (element.has_sequence_type()) {
      info.kind = ValueInfo::Kind::optionalSequence;
      readSequenceType(info, element.sequence_type());
    } else {
      throw MLModelError::unsupportedElementType(fmt::format("Value '{}' is an optional of an unsupported type.", proto.name()));
    }
  } else if (!(subgraph && type.value_case() == onnx::TypeProto::VALUE_NOT_SET)) {
    throw MLModelError::unsupportedElementType(fmt::format("Value '{}' is not a tensor.", proto.name()));
  }
  return info;
}

// Graph attributes are read by the loader (they need the enclosing scope); here they stay `other`.
Attribute attributeFromProto(const onnx::AttributeProto& proto, const std::filesystem::path& folder) {
  Attribute a;
  switch (proto.type()) {
    case onnx::AttributeProto::FLOAT: a.kind = Attribute::Kind::floatValue; a.f = proto.f(); break;
    case onnx::AttributeProto::INT: a.kind = Attribute::Kind::intValue; a.i = proto.i(); break;
    case onnx::AttributeProto::STRING: a.kind = Attribute::Kind::stringValue; a.s = proto.s(); break;
    case onnx::AttributeProto::TENSOR:
      a.kind = Attribute::Kind::tensor;
      a.t = tensorFromProto(proto.t(), &folder);
      break;
    case onnx::AttributeProto::FLOATS:
      a.kind = Attribute::Kind::floats;
      a.floats.assign(proto.floats().begin(), proto.floats().end());
      break;
    case onnx::AttributeProto::INTS:
      a.kind = Attribute::Kind::ints;
      a.ints.assign(proto.ints().begin(), proto.ints().end());
      break;
    case onnx::AttributeProto::STRINGS:
      a.kind = Attribute::Kind::strings;
      a.strings.assign(proto.strings().begin(), proto.strings().end());
      break;
    case onnx::AttributeProto::TYPE_PROTO: a.kind = Attribute::Kind::typeProto; break;  // only Optional's, unread
    default:
      a.kind = Attribute::Kind::other;
      break;
  }
  return a;
}

}  // namespace

// Turns a parsed GraphProto into a runnable Graph. A subgraph's loader asks its parent for names it
// does not define, and the parent records them as values its current node keeps alive.
class GraphLoader {
 public:
  GraphLoader(const onnx::GraphProto& graph, const std::filesystem::path& folder, int opset, GraphLoader* parent,
              int depth)
      : proto_(graph), folder_(folder), opset_(opset), parent_(parent), depth_(depth) {}

  static std::shared_ptr<const Graph> loadModel(const onnx::ModelProto& model, const std::filesystem::path& folder) {
    int opset = 0;
    for (const auto& entry : model.opset_import()) {
      if (entry.domain().empty() || entry.domain() == "ai.onnx") opset = static_cast<int>(entry.version());
    }
    if (opset <= 0) throw MLModelError::invalidModel("The model imports no version of the ONNX operator set.");
    GraphLoader loader(model.graph(), folder, opset, nullptr, 0);
    auto graph = loader.load();
    for (const auto& property : model.metadata_props()) graph->metadata_[property.key()] = property.value();
    return graph;
  }

  std::shared_ptr<Graph> load() {
    graph_ = std::shared_ptr<Graph>(new Graph());
    const auto& g = proto_;
    for (const auto& info : g.value_info()) valueInfoFromProto(info, true);  // refuses unsupported types early
    readInitializers(g);
    readInputs(g);
    for (int i = 0; i < g.node_size(); ++i) readNode(g.node(i), i);
    readOutputs(g);
    planReleases();
    graph_->slotCount_ = slots_.size();
    producers_.resize(slots_.size());
    graph_->producers_ = std::move(producers_);
    graph_->constants_.resize(slots_.size());
    graph_->slotSource_.assign(slots_.size(), Graph::kOwnValue);
    for (const auto& [outer, inner] : captures_) graph_->slotSource_[static_cast<size_t>(inner)] = outer;
    for (auto& [slot, tensor] : constants_) {
      graph_->constants_[static_cast<size_t>(slot)] = std::move(tensor);
      graph_->slotSource_[static_cast<size_t>(slot)] = Graph::kConstant;
    }
    for (int slot : graph_->outputSlots_) {
      graph_->outputMovable_.push_back(graph_->slotSource_[static_cast<size_t>(slot)] == Graph::kOwnValue &&
                                       std::count(graph_->outputSlots_.begin(), graph_->outputSlots_.end(), slot) == 1);
    }
    return graph_;
  }

 private:
  bool isSubgraph() const { return parent_ != nullptr; }

  int slotFor(const std::string& name) {
    auto [it, inserted] = slots_.emplace(name, static_cast<int>(slots_.size()));
    return it->second;
  }

  // The slot of a name defined so far here or in an enclosing graph, or -1. An enclosing graph's
  // value gets a slot of its own here, filled when the subgraph starts.
  int resolve(const std::string& name) {
    auto it = slots_.find(name);
    if (it != slots_.end() && defined_.count(it->second)) return it->second;
    if (parent_ == nullptr) return -1;
    const int outer = parent_->resolveForChild(name);
    if (outer < 0) return -1;
    const int inner = slotFor(name);
    defined_.insert(inner);
    captures_.emplace_back(outer, inner);
    return inner;
  }

  int resolveForChild(const std::string& name) {
    const int slot = resolve(name);
    if (slot >= 0 && pendingImplicit_ != nullptr) pendingImplicit_->push_back(slot);
    return slot;
  }

  void readInitializers(const onnx::GraphProto& g) {
    if (g.sparse_initializer_size() > 0) throw MLModelError::unsupportedElementType("Sparse initializers are not supported.");
    for (const auto& proto : g.initializer()) {
      if (proto.name().empty()) throw MLModelError::invalidModel("An initializer has no name.");
      const int slot = slotFor(proto.name());
      constants_[slot] = tensorFromProto(proto, &folder_);
      defined_.insert(slot);
    }
  }

  void readInputs(const onnx::GraphProto& g) {
    for (const auto& proto : g.input()) {
      ValueInfo info = valueInfoFromProto(proto, isSubgraph());
      const int slot = slotFor(info.name);
      if (constants_.count(slot) && !isSubgraph()) continue;  // an initializer listed as input keeps its value
      if (defined_.count(slot)) throw MLModelError::invalidModel(fmt::format("Input '{}' is declared twice.", info.name));
      defined_.insert(slot);
      graph_->inputs_.push_back(std::move(info));
      graph_->inputSlots_.push_back(slot);
    }
  }

  void readNode(const onnx::NodeProto& proto, int index) {
    Node node;
    node.opType = proto.op_type();
    node.name = proto.name();
    node.opset = opset_;
    const bool defaultDomain = proto.domain().empty() || proto.domain() == "ai.onnx";
    node.op = defaultDomain ? findOperator(node.opType) : nullptr;
    if (node.op == nullptr) {
      const std::string op = defaultDomain ? node.opType : proto.domain() + "." + node.opType;
      throw MLModelError::unsupportedOperator(fmt::format("Unsupported operator {} (node {}).", op,
                                                          node.name.empty() ? std::to_string(index) : "'" + node.name + "'"));
    }
    graph_->operatorTypes_.insert(node.opType);
    for (const auto& attribute : proto.attribute()) readAttribute(node, attribute);
    checkOperatorVersion(node);
    checkTypeAttributes(node);
    for (const auto& name : proto.input()) {
      if (name.empty()) {
        node.inputs.push_back(-1);
        continue;
      }
      const int slot = resolve(name);
      if (slot < 0) throw MLModelError::invalidModel(fmt::format("{} reads '{}' before anything produces it.", node.label(), name));
      node.inputs.push_back(slot);
    }
    for (const auto& name : proto.output()) {
      if (name.empty()) {
        node.outputs.push_back(-1);
        continue;
      }
      const int slot = slotFor(name);
      if (defined_.count(slot)) throw MLModelError::invalidModel(fmt::format("{} writes '{}' a second time.", node.label(), name));
      defined_.insert(slot);
      node.outputs.push_back(slot);
      if (producers_.size() <= static_cast<size_t>(slot)) producers_.resize(static_cast<size_t>(slot) + 1);
      producers_[static_cast<size_t>(slot)] = node.label();
    }
    if (node.op->check != nullptr) node.op->check(node);
    if (node.opType == "Constant") {
      foldConstant(node);
      return;
    }
    graph_->nodes_.push_back(std::move(node));
  }

  void readAttribute(Node& node, const onnx::AttributeProto& attribute) {
    Attribute a;
    if (attribute.type() == onnx::AttributeProto::GRAPH) {
      a.kind = Attribute::Kind::graph;
      a.graphs.push_back(loadSubgraph(node, attribute.g()));
    } else if (attribute.type() == onnx::AttributeProto::GRAPHS) {
      a.kind = Attribute::Kind::graphs;
      for (const auto& g : attribute.graphs()) a.graphs.push_back(loadSubgraph(node, g));
    } else {
      a = attributeFromProto(attribute, folder_);
    }
    if (a.kind == Attribute::Kind::other) {
      throw MLModelError::unsupportedOperator(
          fmt::format("{}: attribute '{}' of this kind is not supported.", node.label(), attribute.name()));
    }
    node.attributes.emplace(attribute.name(), std::move(a));
  }

  std::shared_ptr<const Graph> loadSubgraph(Node& node, const onnx::GraphProto& body) {
    if (depth_ + 1 > Graph::kMaxNesting) {
      throw MLModelError::invalidModel(
          fmt::format("{}: subgraphs nest deeper than {} levels.", node.label(), Graph::kMaxNesting));
    }
    pendingImplicit_ = &node.implicitInputs;
    try {
      auto graph = GraphLoader(body, folder_, opset_, this, depth_ + 1).load();
      pendingImplicit_ = nullptr;
      return graph;
    } catch (const MLModelError& e) {
      pendingImplicit_ = nullptr;
      // Deep nests would repeat the same prefix for every level; the innermost message says enough.
      if (e.description().starts_with(node.label() + ": subgraphs nest deeper")) throw;
      throw MLModelError(e.errorCode(), fmt::format("{}: {}", node.label(), e.description()));
    }
  }

  // Element types named by attributes must be ones the executor handles, like those of values.
  static void checkTypeAttributes(const Node& node) {
    if (node.opType == "Cast" && node.hasAttribute("to")) {
      const auto to = static_cast<ElementType>(node.intAttribute("to", 0));
      if (!isSupportedElementType(to)) {
        throw MLModelError::unsupportedElementType(fmt::format("{} casts to unsupported element type {}.", node.label(),
                                                               elementTypeName(to)));
      }
    }
    if (node.opType == "Constant" && node.hasAttribute("sparse_value")) {
      throw MLModelError::unsupportedElementType(fmt::format("{} holds an unsupported value.", node.label()));
    }
  }

  // A Constant's value is computed once here instead of on every run.
  void foldConstant(const Node& node) {
    KernelContext context{node, {}, std::vector<Tensor>(node.outputs.size()), node.opset};
    try {
      node.op->kernel(context);
    } catch (const MLModelError& e) {
      throw MLModelError::invalidModel(e.description());
    }
    if (!node.outputs.empty() && node.outputs[0] >= 0) constants_[node.outputs[0]] = std::move(context.outputs[0]);
  }

  void readOutputs(const onnx::GraphProto& g) {
    for (const auto& proto : g.output()) {
      ValueInfo info = valueInfoFromProto(proto, isSubgraph());
      const int slot = resolve(info.name);
      if (slot < 0) throw MLModelError::invalidModel(fmt::format("Output '{}' is never produced.", info.name));
      graph_->outputs_.push_back(std::move(info));
      graph_->outputSlots_.push_back(slot);
    }
  }

  // Intermediate values are dropped right after their last reader, so a long chain does not keep
  // every activation alive.
  void planReleases() {
    std::vector<int> lastReader(slots_.size(), -1);
    for (size_t n = 0; n < graph_->nodes_.size(); ++n) {
      const Node& node = graph_->nodes_[n];
      for (const auto* list : {&node.inputs, &node.implicitInputs}) {
        for (int slot : *list) {
          if (slot >= 0) lastReader[static_cast<size_t>(slot)] = static_cast<int>(n);
        }
      }
    }
    for (int slot : graph_->outputSlots_) lastReader[static_cast<size_t>(slot)] = -1;
    graph_->releaseAfter_.assign(graph_->nodes_.size(), {});
    for (size_t slot = 0; slot < lastReader.size(); ++slot) {
      if (lastReader[slot] >= 0) graph_->releaseAfter_[static_cast<size_t>(lastReader[slot])].push_back(static_cast<int>(slot));
    }
  }

  const onnx::GraphProto& proto_;
  std::filesystem::path folder_;
  int opset_ = 0;
  std::vector<std::string> producers_;
  GraphLoader* parent_ = nullptr;
  int depth_ = 0;
  std::shared_ptr<Graph> graph_;
  std::unordered_map<std::string, int> slots_;
  std::set<int> defined_;
  std::map<int, Tensor> constants_;
  std::vector<int>* pendingImplicit_ = nullptr;  // implicit inputs of the node whose subgraph loads
  std::vector<std::pair<int, int>> captures_;     // (enclosing graph's slot, own slot)
};

std::shared_ptr<const Graph> Graph::load(const std::string& bytes, const std::filesystem::path& folder) {
  onnx::ModelProto model;
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw MLModelError::invalidModel("The model file is not a valid ONNX protobuf.");
  }
  // Each level of subgraphs costs three levels of messages; the parser's own limit (100) would stop
  // nests far below ours, and a limit stays so a hostile file cannot exhaust the stack.
  google::protobuf::io::CodedInputStream stream(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  stream.SetRecursionLimit(3 * Graph::kMaxNesting + 40);
  if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage()) {
    throw MLModelError::invalidModel("The model file is not a valid ONNX protobuf.");
  }
  if (!model.has_graph()) throw MLModelError::invalidModel("The model file holds no graph.");
  return GraphLoader::loadModel(model, folder);
}

Tensor Graph::parseTensor(const std::string& bytes) {
  onnx::TensorProto proto;
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max()) ||
      !proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw MLModelError::invalidModel("The tensor file is not a valid ONNX protobuf.");
  }
  return tensorFromProto(proto, nullptr);
}

namespace {

Tensor widenFloat16(const Tensor& tensor) {
  Tensor wide(ElementType::float32, tensor.shape());
  convertFloat16ToFloat(tensor.data<uint16_t>(), wide.data<float>(), static_cast<size_t>(tensor.count()));
  return wide;
}

Tensor narrowToFloat16(const Tensor& tensor) {
  Tensor narrow(ElementType::float16, tensor.shape());
  convertFloatToFloat16(tensor.data<float>(), narrow.data<uint16_t>(), static_cast<size_t>(tensor.count()));
  return narrow;
}

}  // namespace

namespace {

void checkFeed(const ValueInfo& info, const Value& feed) {
  const bool optional = info.kind == ValueInfo::Kind::optionalTensor || info.kind == ValueInfo::Kind::optionalSequence;
  if (feed.isNone() && optional) return;
  const bool wantsSequence = info.kind == ValueInfo::Kind::sequence || info.kind == ValueInfo::Kind::optionalSequence;
  if (feed.isSequence() != wantsSequence || feed.empty() || feed.isNone()) {
    throw MLModelError::featureType(fmt::format("Input '{}' is {}, the network expects {}.", info.name, feed.kindName(),
                                                wantsSequence ? "a sequence" : "a tensor"));
  }
  const ElementType type = feed.isSequence() ? feed.elementType() : feed.tensor().type();
  if (info.type != ElementType::undefined && type != info.type) {
    throw MLModelError::featureType(fmt::format("Input '{}' is {}, the network expects {}.", info.name,
                                                elementTypeName(type), elementTypeName(info.type)));
  }
  if (!feed.isTensor()) return;
  const Tensor& tensor = feed.tensor();
  bool fits = !info.hasShape || info.dims.size() == tensor.shape().size();
  for (size_t d = 0; fits && info.hasShape && d < info.dims.size(); ++d) {
    fits = info.dims[d] < 0 || info.dims[d] == tensor.shape()[d];
  }
  if (!fits) {
    throw MLModelError::featureType(fmt::format("Input '{}' has shape {}, the network expects {}.", info.name,
                                                shapeText(tensor.shape()), shapeText(info.dims)));
  }
}

}  // namespace

std::map<std::string, Value> Graph::runValues(const std::map<std::string, Value>& feeds) const {
  std::vector<Value> values(slotCount_);
  for (size_t i = 0; i < inputs_.size(); ++i) {
    const ValueInfo& info = inputs_[i];
    auto it = feeds.find(info.name);
    if (it == feeds.end()) throw MLModelError::featureType(fmt::format("Input '{}' is missing.", info.name));
    checkFeed(info, it->second);
    values[static_cast<size_t>(inputSlots_[i])] = it->second;
  }
  execute(values, nullptr);
  const Frame frame{this, &values, nullptr};
  std::map<std::string, Value> results;
  for (size_t i = 0; i < outputs_.size(); ++i) results[outputs_[i].name] = frame.at(outputSlots_[i]);
  return results;
}

std::map<std::string, Tensor> Graph::run(const std::map<std::string, Tensor>& feeds) const {
  std::map<std::string, Value> values;
  for (const auto& [name, tensor] : feeds) values.emplace(name, tensor);
  std::map<std::string, Tensor> results;
  for (auto& [name, value] : runValues(values)) {
    if (!value.isTensor()) throw MLModelError::featureType(fmt::format("Output '{}' is {}, not a tensor.", name, value.kindName()));
    results.emplace(name, value.tensor());
  }
  return results;
}

const Value& Frame::at(int slot) const {
  const int source = graph->slotSource_[static_cast<size_t>(slot)];
  if (source == Graph::kOwnValue) return (*values)[static_cast<size_t>(slot)];
  if (source == Graph::kConstant) return graph->constants_[static_cast<size_t>(slot)];
  return parent->at(source);
}

std::vector<Value> Graph::runBody(const Frame& scope, std::vector<Value> inputs) const {
  assert(inputs.size() == inputSlots_.size());
  std::vector<Value> values(slotCount_);
  for (size_t i = 0; i < inputs.size(); ++i) values[static_cast<size_t>(inputSlots_[i])] = std::move(inputs[i]);
  execute(values, &scope);
  const Frame frame{this, &values, &scope};
  std::vector<Value> results;
  results.reserve(outputSlots_.size());
  for (size_t i = 0; i < outputSlots_.size(); ++i) {
    const int slot = outputSlots_[i];
    if (outputMovable_[i]) results.push_back(std::move(values[static_cast<size_t>(slot)]));
    else results.push_back(frame.at(slot));
  }
  return results;
}

void Graph::execute(std::vector<Value>& values, const Frame* parent) const {
  const Frame frame{this, &values, parent};
  std::vector<Tensor> widened;
  // The context's lists are reused from node to node: small networks run many tiny nodes.
  std::vector<const Tensor*> inputs;
  std::vector<Tensor> outputs;
  std::vector<const Value*> valueInputs;
  std::vector<Value> valueOutputs;
  for (size_t n = 0; n < nodes_.size(); ++n) {
    const Node& node = nodes_[n];
    const bool takesValues = node.op->takesValues;
    inputs.clear();
    outputs.clear();
    outputs.resize(node.outputs.size());
    valueInputs.clear();
    valueOutputs.clear();
    if (takesValues) valueOutputs.resize(node.outputs.size());
    KernelContext context{node, std::move(inputs), std::move(outputs), node.opset, std::move(valueInputs), std::move(valueOutputs),
                          &frame};
    bool sawFloat16 = false;
    widened.clear();
    widened.reserve(node.inputs.size());
    for (int slot : node.inputs) {
      const Value* value = slot >= 0 ? &frame.at(slot) : nullptr;
      if (takesValues) context.values.push_back(value);
      if (value != nullptr && !value->isTensor()) {
        if (!takesValues) context.fail(fmt::format("takes tensors, not {}", value->kindName()));
        context.inputs.push_back(nullptr);
        continue;
      }
      const Tensor* input = value != nullptr ? &value->tensor() : nullptr;
      if (input != nullptr && input->type() == ElementType::string && !node.op->takesStrings && !takesValues) {
        context.fail("does not handle STRING tensors");
      }
      if (input != nullptr && node.op->widensFloat16 && input->type() == ElementType::float16) {
        sawFloat16 = true;
        widened.push_back(widenFloat16(*input));
        input = &widened.back();
      }
      context.inputs.push_back(input);
    }
    try {
      node.op->kernel(context);
    } catch (const MLModelError& e) {
      // A shape fault often starts at the node that made the input: name it beside the one that refused.
      if (e.errorCode() != MLModelError::Code::generic || e.description().rfind(node.label() + ":", 0) != 0) throw;
      std::string origins;
      for (size_t k = 0; k < context.inputs.size(); ++k) {
        const int slot = node.inputs[k];
        if (context.inputs[k] == nullptr || slot < 0 || static_cast<size_t>(slot) >= producers_.size() ||
            producers_[static_cast<size_t>(slot)].empty()) {
          continue;
        }
        origins += fmt::format(" Input {} from node {} has shape {}.", k, producers_[static_cast<size_t>(slot)],
                               shapeText(context.inputs[k]->shape()));
      }
      if (origins.empty()) throw;
      throw MLModelError::generic(e.description() + origins);
    }
    for (size_t k = 0; k < node.outputs.size(); ++k) {
      if (node.outputs[k] < 0) continue;
      Value output;
      if (takesValues && !context.valueOutputs[k].empty()) {
        output = std::move(context.valueOutputs[k]);
      } else {
        Tensor& tensor = context.outputs[k];
        if (tensor.empty()) context.fail(fmt::format("produced no value for output {}", k));
        if (sawFloat16 && tensor.type() == ElementType::float32) tensor = narrowToFloat16(tensor);
        output = std::move(tensor);
      }
      values[static_cast<size_t>(node.outputs[k])] = std::move(output);
    }
    for (int slot : releaseAfter_[n]) values[static_cast<size_t>(slot)] = Value();
    inputs = std::move(context.inputs);
    outputs = std::move(context.outputs);
    valueInputs = std::move(context.values);
    valueOutputs = std::move(context.valueOutputs);
  }
}

}  // namespace platform::ml
