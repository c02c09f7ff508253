#include "platform/ml/MLModel.h"

#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/Float16.h"
#include "platform/ml/Graph.h"
#include "platform/ml/KernelSupport.h"
#include "platform/ml/MLArrayBatchProvider.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModelError.h"
#include "platform/ml/ModelBundle.h"
#include "platform/sys/StandardPaths.h"

namespace platform {
namespace {

using ml::ElementType;
using ml::Tensor;

// ---- element conversion ---------------------------------------------------------------------

ElementType elementTypeFor(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float16: return ElementType::float16;
    case MLMultiArrayDataType::float64: return ElementType::float64;
    case MLMultiArrayDataType::int32: return ElementType::int32;
    default: return ElementType::float32;
  }
}

// Integer and bool values of the network cross as int32 arrays.
MLMultiArrayDataType arrayTypeFor(ElementType type) {
  switch (type) {
    case ElementType::float16: return MLMultiArrayDataType::float16;
    case ElementType::float32: return MLMultiArrayDataType::float32;
    case ElementType::float64: return MLMultiArrayDataType::float64;
    default: return MLMultiArrayDataType::int32;
  }
}

// IEEE binary16 storage, kept apart from the uint16 element type.
struct Half {
  uint16_t bits;
};

template <class F>
void withStorageType(ElementType type, F&& f) {
  switch (type) {
    case ElementType::float16: f(Half{}); break;
    case ElementType::float32: f(float{}); break;
    case ElementType::float64: f(double{}); break;
    case ElementType::int32: f(int32_t{}); break;
    case ElementType::int64: f(int64_t{}); break;
    case ElementType::bool_: f(bool{}); break;
    case ElementType::int8: f(int8_t{}); break;
    case ElementType::uint8: f(uint8_t{}); break;
    case ElementType::int16: f(int16_t{}); break;
    case ElementType::uint16: f(uint16_t{}); break;
    case ElementType::uint32: f(uint32_t{}); break;
    case ElementType::uint64: f(uint64_t{}); break;
    default: throw MLModelError::unsupportedElementType(fmt::format("Cannot convert {} values.", ml::elementTypeName(type)));
  }
}

// Whether `value` lies inside the range of the integer type D (NaN passes and becomes 0).
template <class D, class S>
bool fitsIn(S value) {
  if constexpr (!std::is_integral_v<D> || std::is_same_v<D, bool> || std::is_same_v<S, Half> || std::is_same_v<S, bool>) {
    return true;
  } else if constexpr (std::is_floating_point_v<S>) {
    return std::isnan(value) || (value >= static_cast<S>(std::numeric_limits<D>::lowest()) &&
                                 value <= static_cast<S>(std::numeric_limits<D>::max()));
  } else {
    return std::in_range<D>(value);
  }
}

template <class D, class S>
D convertValue(S value) {
  if constexpr (std::is_same_v<S, Half>) {
    return convertValue<D>(floatFromFloat16(value.bits));
  } else if constexpr (std::is_same_v<D, Half>) {
    return Half{float16FromFloat(static_cast<float>(value))};
  } else if constexpr (std::is_same_v<D, bool>) {
    return value != S(0);
  } else if constexpr (std::is_integral_v<D> && std::is_floating_point_v<S>) {
    if (std::isnan(value)) return D(0);
    if (value <= static_cast<S>(std::numeric_limits<D>::lowest())) return std::numeric_limits<D>::lowest();
    if (value >= static_cast<S>(std::numeric_limits<D>::max())) return std::numeric_limits<D>::max();
    return static_cast<D>(value);
  } else if constexpr (std::is_integral_v<D> && std::is_integral_v<S> && !std::is_same_v<S, bool>) {
    if (std::cmp_less(value, std::numeric_limits<D>::lowest())) return std::numeric_limits<D>::lowest();
    if (std::cmp_greater(value, std::numeric_limits<D>::max())) return std::numeric_limits<D>::max();
    return static_cast<D>(value);
  } else {
    return static_cast<D>(value);
  }
}

// Converts `count` elements; returns the index of the first one outside an integer destination
// type's range (it is clamped), or -1.
int64_t convertDense(const void* source, ElementType from, void* destination, ElementType to, int64_t count) {
  if (count == 0) return -1;
  if (from == to) {
    std::memcpy(destination, source, static_cast<size_t>(count) * ml::elementByteSize(from));
    return -1;
  }
  int64_t outside = -1;
  withStorageType(from, [&](auto s) {
    using S = decltype(s);
    withStorageType(to, [&](auto d) {
      using D = decltype(d);
      const S* in = static_cast<const S*>(source);
      D* out = static_cast<D*>(destination);
      for (int64_t i = 0; i < count; ++i) {
        if (outside < 0 && !fitsIn<D>(in[i])) outside = i;
        out[i] = convertValue<D>(in[i]);
      }
    });
  });
  return outside;
}

// Copies between a strided array and a dense buffer of the array's element type.
void copyStrided(const MLMultiArray& array, std::byte* dense, bool toArray) {
  const size_t size = elementSize(array.dataType());
  auto* base = static_cast<std::byte*>(array.dataPointer());
  const auto& shape = array.shape();
  std::vector<int64_t> strides = array.strides();
  if (!shape.empty() && strides.back() == 1) {
    const int64_t row = shape.back();
    const ml::Shape outer(shape.begin(), shape.end() - 1);
    strides.pop_back();
    const size_t rowBytes = static_cast<size_t>(row) * size;
    if (row == 0) return;
    ml::broadcastLoop<1>(outer, {strides}, [&](int64_t i, const std::array<int64_t, 1>& o) {
      std::byte* element = base + static_cast<size_t>(o[0]) * size;
      std::byte* packed = dense + static_cast<size_t>(i) * rowBytes;
      toArray ? std::memcpy(element, packed, rowBytes) : std::memcpy(packed, element, rowBytes);
    });
    return;
  }
  ml::broadcastLoop<1>(shape, {strides}, [&](int64_t i, const std::array<int64_t, 1>& o) {
    std::byte* element = base + static_cast<size_t>(o[0]) * size;
    std::byte* packed = dense + static_cast<size_t>(i) * size;
    toArray ? std::memcpy(element, packed, size) : std::memcpy(packed, element, size);
  });
}

// Throws MLModelError(featureType) naming `name` when an element lies outside the target type.
Tensor tensorFromArray(const MLMultiArray& array, ElementType target, const std::string& name) {
  Tensor tensor(target, array.shape());
  const ElementType source = elementTypeFor(array.dataType());
  int64_t outside = -1;
  Tensor dense;
  if (array.isContiguous()) {
    outside = convertDense(array.dataPointer(), source, tensor.bytes(), target, tensor.count());
  } else if (source == target) {
    copyStrided(array, tensor.bytes(), false);
  } else {
    dense = Tensor(source, array.shape());
    copyStrided(array, dense.bytes(), false);
    outside = convertDense(dense.bytes(), source, tensor.bytes(), target, tensor.count());
  }
  if (outside >= 0) {
    const double value = array.isContiguous() ? array[outside].doubleValue() : dense.doubleAt(outside);
    throw MLModelError::featureType(fmt::format("Input '{}' holds {} at element {}, outside the range of {}.", name, value,
                                                outside, ml::elementTypeName(target)));
  }
  return tensor;
}

// Throws MLModelError(featureType) naming `name` when an element does not fit the array's type.
void writeTensorToArray(const Tensor& tensor, MLMultiArray& array, const std::string& name) {
  const ElementType destination = elementTypeFor(array.dataType());
  int64_t outside = -1;
  if (array.isContiguous()) {
    outside = convertDense(tensor.bytes(), tensor.type(), array.dataPointer(), destination, tensor.count());
  } else if (destination == tensor.type()) {
    copyStrided(array, const_cast<std::byte*>(tensor.bytes()), true);
  } else {
    Tensor dense(destination, tensor.shape());
    outside = convertDense(tensor.bytes(), tensor.type(), dense.bytes(), destination, tensor.count());
    copyStrided(array, dense.bytes(), true);
  }
  if (outside >= 0) {
    throw MLModelError::featureType(fmt::format("Output '{}' holds {} at element {}, which does not fit {}.", name,
                                                tensor.doubleAt(outside), outside, ml::elementTypeName(destination)));
  }
}

std::string shapeText(const std::vector<int64_t>& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MLModelError::io(fmt::format("Cannot read {}.", path.string()));
  std::stringstream content;
  content << in.rdbuf();
  if (in.bad()) throw MLModelError::io(fmt::format("Cannot read {}.", path.string()));
  return content.str();
}

// ---- compiled folders in $TMPDIR ------------------------------------------------------------

// Compiled folders not yet claimed by a model: compiled path -> temporary folder to remove.
std::mutex& compiledMutex() {
  static std::mutex mutex;
  return mutex;
}

// What no model claimed goes when the process ends normally, rather than staying in $TMPDIR.
struct UnclaimedCompiledFolders {
  std::map<std::filesystem::path, std::filesystem::path> folders;

  ~UnclaimedCompiledFolders() {
    for (const auto& [compiled, temporary] : folders) {
      std::error_code ignored;
      std::filesystem::remove_all(temporary, ignored);
    }
  }
};

std::map<std::filesystem::path, std::filesystem::path>& compiledFolders() {
  static UnclaimedCompiledFolders unclaimed;
  return unclaimed.folders;
}

std::filesystem::path claimTemporaryFolder(const std::filesystem::path& model) {
  std::error_code error;
  auto key = std::filesystem::weakly_canonical(model, error);
  if (error) return {};
  std::scoped_lock lock(compiledMutex());
  auto it = compiledFolders().find(key);
  if (it == compiledFolders().end()) return {};
  auto folder = it->second;
  compiledFolders().erase(it);
  return folder;
}

// ---- description ----------------------------------------------------------------------------

struct InputBinding {
  std::string name;
  ElementType type;
  bool anyShape = false;
};

struct StateBinding {
  std::string name;
  ElementType type;
  std::vector<int64_t> shape;
};

bool shapeAccepted(const MLMultiArrayConstraint& constraint, const std::vector<int64_t>& shape) {
  const auto& flexible = constraint.shapeConstraint;
  switch (flexible.type) {
    case MLMultiArrayShapeConstraintType::enumerated:
      return std::find(flexible.enumeratedShapes.begin(), flexible.enumeratedShapes.end(), shape) != flexible.enumeratedShapes.end();
    case MLMultiArrayShapeConstraintType::range:
      if (shape.size() != flexible.sizeRangeForDimension.size()) return false;
      for (size_t d = 0; d < shape.size(); ++d) {
        const auto& range = flexible.sizeRangeForDimension[d];
        if (shape[d] < range.location || shape[d] - range.location >= range.length) return false;
      }
      return true;
    case MLMultiArrayShapeConstraintType::unspecified:
      return shape == constraint.shape;
  }
  return false;
}

MLFeatureDescription describeInput(const ml::ValueInfo& info, const ml::ModelBundle& bundle) {
  MLFeatureDescription description;
  description.name = info.name;
  MLMultiArrayConstraint constraint;
  constraint.dataType = arrayTypeFor(info.type);
  bool open = false;
  for (int64_t d : info.dims) {
    constraint.shape.push_back(d < 0 ? 1 : d);
    open = open || d < 0;
  }
  auto declared = bundle.inputShapes.find(info.name);
  if (declared != bundle.inputShapes.end()) {
    constraint.shapeConstraint = declared->second;
    const auto& c = constraint.shapeConstraint;
    constraint.shape.clear();
    if (c.type == MLMultiArrayShapeConstraintType::enumerated) {
      constraint.shape = c.enumeratedShapes.front();
    } else {
      for (const auto& range : c.sizeRangeForDimension) constraint.shape.push_back(range.location);
    }
    if (info.hasShape && constraint.shape.size() != info.dims.size()) {
      throw MLModelError::invalidModel(fmt::format("The shapes declared for input '{}' do not fit its rank {}.", info.name, info.dims.size()));
    }
  } else if (open) {
    constraint.shapeConstraint.type = MLMultiArrayShapeConstraintType::range;
    for (int64_t d : info.dims) {
      constraint.shapeConstraint.sizeRangeForDimension.push_back(
          d < 0 ? NSRange{0, std::numeric_limits<int64_t>::max()} : NSRange{d, 1});
    }
  }
  description.multiArrayConstraint = constraint;
  return description;
}

MLFeatureDescription describeOutput(const ml::ValueInfo& info) {
  MLFeatureDescription description;
  description.name = info.name;
  MLMultiArrayConstraint constraint;
  constraint.dataType = arrayTypeFor(info.type);
  for (int64_t d : info.dims) constraint.shape.push_back(d < 0 ? 0 : d);
  description.multiArrayConstraint = constraint;
  return description;
}

}  // namespace

struct MLModel::Impl {
  std::shared_ptr<const ml::Graph> graph;
  MLModelDescription description;
  MLModelConfiguration configuration;
  std::vector<InputBinding> inputs;
  std::vector<std::string> outputs;
  std::vector<StateBinding> states;
  std::filesystem::path temporaryFolder;
  mutable std::atomic<std::uint64_t> predictionCount{0};

  void describe(const ml::ModelBundle& bundle);
  Tensor feed(const MLFeatureProvider& from, const InputBinding& input) const;
  std::unique_ptr<MLFeatureProvider> run(const MLFeatureProvider& from, MLState* state, const MLPredictionOptions& options) const;
};

namespace {

// Multi-arrays cross the model's boundary: sequences, optionals and strings stay inside the network.
void refuseNonArrayValues(const ml::Graph& graph) {
  for (const auto* list : {&graph.inputs(), &graph.outputs()}) {
    const char* role = list == &graph.inputs() ? "Input" : "Output";
    for (const auto& value : *list) {
      if (value.kind != ml::ValueInfo::Kind::tensor) {
        throw MLModelError::unsupportedElementType(
            fmt::format("{} '{}' is not a tensor; a model takes and gives multi-arrays only.", role, value.name));
      }
      if (value.type == ElementType::string) {
        throw MLModelError::unsupportedElementType(
            fmt::format("{} '{}' holds STRING elements; a model takes and gives numbers only.", role, value.name));
      }
    }
  }
}

}  // namespace

void MLModel::Impl::describe(const ml::ModelBundle& bundle) {
  refuseNonArrayValues(*graph);
  std::set<std::string> stateNames(bundle.states.begin(), bundle.states.end());
  for (const auto& state : bundle.states) {
    const auto& graphInputs = graph->inputs();
    auto input = std::find_if(graphInputs.begin(), graphInputs.end(), [&](const auto& i) { return i.name == state; });
    if (input == graphInputs.end()) throw MLModelError::invalidModel(fmt::format("State '{}' is not an input of the network.", state));
    const auto& graphOutputs = graph->outputs();
    if (std::none_of(graphOutputs.begin(), graphOutputs.end(), [&](const auto& o) { return o.name == state + "_out"; })) {
      throw MLModelError::invalidModel(fmt::format("State '{}' has no output '{}_out'.", state, state));
    }
    if (!input->hasShape || std::any_of(input->dims.begin(), input->dims.end(), [](int64_t d) { return d < 0; })) {
      throw MLModelError::invalidModel(fmt::format("State '{}' has no fixed shape.", state));
    }
    states.push_back({state, input->type, input->dims});
    MLFeatureDescription d;
    d.name = state;
    d.type = MLFeatureType::state;
    d.stateConstraint = MLStateConstraint{input->dims, arrayTypeFor(input->type)};
    description.stateDescriptionsByName[state] = d;
  }
  for (const auto& input : graph->inputs()) {
    if (stateNames.count(input.name)) continue;
    inputs.push_back({input.name, input.type, !input.hasShape});
    description.inputDescriptionsByName[input.name] = describeInput(input, bundle);
  }
  for (const auto& output : graph->outputs()) {
    if (output.name.size() > 4 && output.name.ends_with("_out") && stateNames.count(output.name.substr(0, output.name.size() - 4))) {
      continue;
    }
    outputs.push_back(output.name);
    description.outputDescriptionsByName[output.name] = describeOutput(output);
  }
  description.metadata = bundle.metadata;
  description.metadata.creatorDefined.clear();
  for (const auto& [key, value] : graph->metadataProperties()) description.metadata.creatorDefined[key] = value;
  for (const auto& [key, value] : bundle.metadata.creatorDefined) description.metadata.creatorDefined[key] = value;
}

Tensor MLModel::Impl::feed(const MLFeatureProvider& from, const InputBinding& input) const {
  const auto value = from.featureValue(input.name);
  if (!value) throw MLModelError::featureType(fmt::format("Input '{}' is required but not given.", input.name));
  const auto& constraint = *description.inputDescriptionsByName.at(input.name).multiArrayConstraint;
  if (value->type() == MLFeatureType::int64 || value->type() == MLFeatureType::double_) {
    if (ml::shapeCount(constraint.shape) != 1) {
      throw MLModelError::featureType(fmt::format("Input '{}' takes a multi-array of shape {}, not a number.", input.name, shapeText(constraint.shape)));
    }
    Tensor tensor(input.type, constraint.shape);
    if (value->type() == MLFeatureType::int64) {
      const int64_t v = value->int64Value();
      if (convertDense(&v, ElementType::int64, tensor.bytes(), input.type, 1) >= 0) {
        throw MLModelError::featureType(fmt::format("Input '{}' is {}, outside the range of {}.", input.name, v, ml::elementTypeName(input.type)));
      }
    } else {
      const double v = value->doubleValue();
      if (convertDense(&v, ElementType::float64, tensor.bytes(), input.type, 1) >= 0) {
        throw MLModelError::featureType(fmt::format("Input '{}' is {}, outside the range of {}.", input.name, v, ml::elementTypeName(input.type)));
      }
    }
    return tensor;
  }
  const auto& array = value->multiArrayValue();
  if (!array) throw MLModelError::featureType(fmt::format("Input '{}' takes a multi-array.", input.name));
  if (!input.anyShape && !shapeAccepted(constraint, array->shape())) {
    throw MLModelError::featureType(fmt::format("Input '{}' has shape {}, the model expects {}.", input.name,
                                                shapeText(array->shape()), shapeText(constraint.shape)));
  }
  return tensorFromArray(*array, input.type, input.name);
}

std::unique_ptr<MLFeatureProvider> MLModel::Impl::run(const MLFeatureProvider& from, MLState* state,
                                                      const MLPredictionOptions& options) const {
  predictionCount.fetch_add(1, std::memory_order_relaxed);
  if (!states.empty() && state == nullptr) throw MLModelError::featureType("The model is stateful: predict with a state.");
  if (states.empty() && state != nullptr) throw MLModelError::featureType("The model has no state.");
  for (const auto& [name, backing] : options.outputBackings) {
    if (std::find(outputs.begin(), outputs.end(), name) == outputs.end()) {
      throw MLModelError::featureType(fmt::format("Output backing '{}' names no output of the model.", name));
    }
    if (!backing) throw MLModelError::featureType(fmt::format("Output backing '{}' is null.", name));
  }
  // Every input is copied before anything runs, so a backing may be one of the inputs.
  std::map<std::string, Tensor> feeds;
  for (const auto& input : inputs) feeds[input.name] = feed(from, input);

  std::unique_lock<std::mutex> stateLock;
  if (state != nullptr) {
    stateLock = std::unique_lock<std::mutex>(state->mutex_);
    for (const auto& binding : states) {
      auto it = state->buffers_.find(binding.name);
      if (it == state->buffers_.end() || it->second->shape() != binding.shape) {
        throw MLModelError::featureType(fmt::format("The state does not belong to this model (no buffer '{}').", binding.name));
      }
      feeds[binding.name] = tensorFromArray(*it->second, binding.type, binding.name);
    }
  }
  auto results = graph->run(feeds);

  for (const auto& [name, backing] : options.outputBackings) {
    const auto& produced = results.at(name).shape();
    if (backing->shape() != produced) {
      throw MLModelError::featureType(fmt::format("Output backing '{}' has shape {}, the output has shape {}.", name,
                                                  shapeText(backing->shape()), shapeText(produced)));
    }
  }
  if (state != nullptr) {
    for (const auto& binding : states) {
      const Tensor& next = results.at(binding.name + "_out");
      auto& buffer = *state->buffers_.at(binding.name);
      if (next.shape() != buffer.shape()) {
        throw MLModelError::generic(fmt::format("State output '{}_out' has shape {}, the state {}.", binding.name,
                                                shapeText(next.shape()), shapeText(buffer.shape())));
      }
      writeTensorToArray(next, buffer, binding.name + "_out");
    }
  }
  MLDictionaryFeatureProvider::Dictionary values;
  for (const auto& name : outputs) {
    const Tensor& tensor = results.at(name);
    std::shared_ptr<MLMultiArray> array;
    auto backing = options.outputBackings.find(name);
    if (backing != options.outputBackings.end()) {
      array = backing->second;
    } else {
      array = std::make_shared<MLMultiArray>(tensor.shape(), arrayTypeFor(tensor.type()));
    }
    writeTensorToArray(tensor, *array, name);
    values[name] = std::make_shared<MLFeatureValue>(std::move(array));
  }
  return std::make_unique<MLDictionaryFeatureProvider>(std::move(values));
}

MLModel::MLModel(const std::filesystem::path& contentsOf, const MLModelConfiguration& configuration)
    : impl_(std::make_unique<Impl>()) {
  const auto bundle = ml::ModelBundle::read(contentsOf);
  const auto file = bundle.modelFile(configuration.functionName);
  impl_->graph = ml::Graph::load(readFile(file), contentsOf);
  impl_->configuration = configuration;
  impl_->describe(bundle);
  impl_->temporaryFolder = claimTemporaryFolder(contentsOf);
}

MLModel::~MLModel() {
  if (!impl_->temporaryFolder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(impl_->temporaryFolder, ignored);
  }
}

const MLModelDescription& MLModel::modelDescription() const { return impl_->description; }
const MLModelConfiguration& MLModel::configuration() const { return impl_->configuration; }

std::unique_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& from, const MLPredictionOptions& options) const {
  return impl_->run(from, nullptr, options);
}

std::unique_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& from, MLState& state,
                                                       const MLPredictionOptions& options) const {
  return impl_->run(from, &state, options);
}

std::unique_ptr<MLBatchProvider> MLModel::predictions(const MLBatchProvider& fromBatch, const MLPredictionOptions& options) const {
  std::vector<std::shared_ptr<const MLFeatureProvider>> results;
  for (int64_t i = 0; i < fromBatch.count(); ++i) results.push_back(impl_->run(*fromBatch.features(i), nullptr, options));
  return std::make_unique<MLArrayBatchProvider>(std::move(results));
}

std::uint64_t MLModel::predictionCount() const { return impl_->predictionCount.load(std::memory_order_relaxed); }

std::shared_ptr<MLState> MLModel::makeState() const {
  if (impl_->states.empty()) throw MLModelError::featureType("The model has no state.");
  std::map<std::string, std::shared_ptr<MLMultiArray>> buffers;
  for (const auto& binding : impl_->states) {
    buffers[binding.name] = std::make_shared<MLMultiArray>(binding.shape, arrayTypeFor(binding.type));
  }
  return std::make_shared<MLState>(std::move(buffers));
}

std::shared_ptr<MLModel> MLModel::compileAndLoad(const std::filesystem::path& packageURL,
                                                 const MLModelConfiguration& configuration) {
  const auto compiled = compileModel(packageURL);
  try {
    return std::make_shared<MLModel>(compiled, configuration);
  } catch (...) {
    const auto folder = claimTemporaryFolder(compiled);
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    throw;
  }
}

std::vector<std::string> MLModel::functionNames(const std::filesystem::path& contentsOf) {
  const auto bundle = ml::ModelBundle::read(contentsOf);
  std::vector<std::string> names;
  for (const auto& entry : bundle.functions) names.push_back(entry.first);
  return names;
}

std::filesystem::path MLModel::compileModel(const std::filesystem::path& at) {
  auto package = at;
  if (package.filename().empty()) package = package.parent_path();
  const std::string name = package.stem().string();
  auto fail = [&](const std::string& problem) {
    return MLModelError::compile(fmt::format("Cannot compile {}: {}", package.string(), problem));
  };
  ml::ModelBundle bundle;
  try {
    bundle = ml::ModelBundle::read(package);
    if (!std::filesystem::exists(package / "model.onnx")) throw fail("the package has no model.onnx.");
    for (const auto& file : bundle.modelFiles()) {
      if (!std::filesystem::exists(file)) throw fail(fmt::format("{} is missing.", file.filename().string()));
      refuseNonArrayValues(*ml::Graph::load(readFile(file), package));
    }
  } catch (const MLModelError& e) {
    if (e.errorCode() == MLModelError::Code::compile) throw;
    throw fail(e.description());
  }

  const auto temporary = StandardPaths::temporaryDirectory();
  std::string pattern = (temporary / "mlmodelc-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw fail(fmt::format("cannot make a folder in {}: {}", temporary.string(), std::strerror(errno)));
  const std::filesystem::path root(pattern);
  const auto compiled = root / (name + ".mlmodelc");
  std::error_code error;
  std::filesystem::copy(package, compiled, std::filesystem::copy_options::recursive, error);
  if (!error && !std::filesystem::exists(compiled / "coremldata.bin")) {
    std::ofstream marker(compiled / "coremldata.bin", std::ios::binary);
    marker << "onnx\n";
    if (!marker) error = std::make_error_code(std::errc::io_error);
  }
  if (error) {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    throw fail(fmt::format("cannot write {}: {}", compiled.string(), error.message()));
  }
  {
    std::scoped_lock lock(compiledMutex());
    compiledFolders()[std::filesystem::weakly_canonical(compiled, error)] = root;
  }
  return compiled;
}

}  // namespace platform
