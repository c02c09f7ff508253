#include "platform/ml/ModelBundle.h"

#include <fstream>
#include <limits>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/ml/MLModelError.h"

namespace platform::ml {
namespace {

constexpr const char* kModelFile = "model.onnx";
constexpr const char* kMetadataFile = "metadata.json";

std::string text(const nlohmann::json& object, const char* key, const std::filesystem::path& file) {
  if (!object.contains(key)) return {};
  if (!object[key].is_string()) throw MLModelError::invalidModel(fmt::format("{}: \"{}\" is not a text.", file.string(), key));
  return object[key].get<std::string>();
}

std::vector<int64_t> shapeFrom(const nlohmann::json& value, const std::filesystem::path& file) {
  if (!value.is_array()) throw MLModelError::invalidModel(fmt::format("{}: a shape is not a list.", file.string()));
  std::vector<int64_t> shape;
  for (const auto& d : value) {
    if (!d.is_number_integer() || d.get<int64_t>() < 0) {
      throw MLModelError::invalidModel(fmt::format("{}: a shape holds something other than a size.", file.string()));
    }
    shape.push_back(d.get<int64_t>());
  }
  return shape;
}

MLMultiArrayShapeConstraint constraintFrom(const std::string& input, const nlohmann::json& value,
                                           const std::filesystem::path& file) {
  MLMultiArrayShapeConstraint constraint;
  if (value.is_object() && value.contains("enumeratedShapes") && value["enumeratedShapes"].is_array() &&
      !value["enumeratedShapes"].empty()) {
    constraint.type = MLMultiArrayShapeConstraintType::enumerated;
    for (const auto& shape : value["enumeratedShapes"]) constraint.enumeratedShapes.push_back(shapeFrom(shape, file));
    return constraint;
  }
  if (value.is_object() && value.contains("shapeRange") && value["shapeRange"].is_array()) {
    constraint.type = MLMultiArrayShapeConstraintType::range;
    for (const auto& range : value["shapeRange"]) {
      if (!range.is_array() || range.size() != 2 || !range[0].is_number_integer() || !range[1].is_number_integer()) {
        throw MLModelError::invalidModel(fmt::format("{}: a range of input '{}' is not [lower, upper].", file.string(), input));
      }
      const int64_t lower = range[0].get<int64_t>();
      const int64_t upper = range[1].get<int64_t>();
      if (lower < 0 || (upper >= 0 && upper < lower)) {
        throw MLModelError::invalidModel(fmt::format("{}: input '{}' has an empty range.", file.string(), input));
      }
      const int64_t length = upper < 0 ? std::numeric_limits<int64_t>::max() - lower : upper - lower + 1;
      constraint.sizeRangeForDimension.push_back({lower, length});
    }
    return constraint;
  }
  throw MLModelError::invalidModel(
      fmt::format("{}: input '{}' needs \"enumeratedShapes\" or \"shapeRange\".", file.string(), input));
}

}  // namespace

ModelBundle ModelBundle::read(const std::filesystem::path& folder) {
  std::error_code error;
  const auto status = std::filesystem::status(folder, error);
  if (!std::filesystem::exists(status)) throw MLModelError::io(fmt::format("No model folder at {}.", folder.string()));
  if (!std::filesystem::is_directory(status)) throw MLModelError::io(fmt::format("{} is not a model folder.", folder.string()));

  ModelBundle bundle;
  bundle.folder = folder;
  const auto file = folder / kMetadataFile;
  if (!std::filesystem::exists(file, error)) return bundle;
  std::ifstream in(file, std::ios::binary);
  if (!in) throw MLModelError::io(fmt::format("Cannot read {}.", file.string()));
  std::stringstream content;
  content << in.rdbuf();
  nlohmann::json json = nlohmann::json::parse(content.str(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    throw MLModelError::invalidModel(fmt::format("{} is not a JSON object.", file.string()));
  }
  bundle.metadata.author = text(json, "author", file);
  bundle.metadata.description = text(json, "description", file);
  bundle.metadata.versionString = text(json, "versionString", file);
  bundle.metadata.license = text(json, "license", file);
  if (json.contains("creatorDefined")) {
    if (!json["creatorDefined"].is_object()) throw MLModelError::invalidModel(fmt::format("{}: \"creatorDefined\" is not an object.", file.string()));
    for (const auto& [key, value] : json["creatorDefined"].items()) {
      if (!value.is_string()) throw MLModelError::invalidModel(fmt::format("{}: creator entry \"{}\" is not a text.", file.string(), key));
      bundle.metadata.creatorDefined[key] = value.get<std::string>();
    }
  }
  if (json.contains("states")) {
    if (!json["states"].is_array()) throw MLModelError::invalidModel(fmt::format("{}: \"states\" is not a list.", file.string()));
    for (const auto& state : json["states"]) {
      if (!state.is_string()) throw MLModelError::invalidModel(fmt::format("{}: a state name is not a text.", file.string()));
      bundle.states.push_back(state.get<std::string>());
    }
  }
  if (json.contains("functions")) {
    if (!json["functions"].is_object()) throw MLModelError::invalidModel(fmt::format("{}: \"functions\" is not an object.", file.string()));
    for (const auto& [name, value] : json["functions"].items()) {
      if (!value.is_string()) throw MLModelError::invalidModel(fmt::format("{}: function \"{}\" names no file.", file.string(), name));
      const std::filesystem::path relative(value.get<std::string>());
      if (relative.is_absolute() || relative.lexically_normal().string().starts_with("..")) {
        throw MLModelError::invalidModel(fmt::format("{}: function \"{}\" names a file outside the folder.", file.string(), name));
      }
      bundle.functions[name] = value.get<std::string>();
    }
  }
  if (json.contains("defaultFunctionName")) bundle.defaultFunctionName = text(json, "defaultFunctionName", file);
  if (json.contains("inputs")) {
    if (!json["inputs"].is_object()) throw MLModelError::invalidModel(fmt::format("{}: \"inputs\" is not an object.", file.string()));
    for (const auto& [name, value] : json["inputs"].items()) bundle.inputShapes[name] = constraintFrom(name, value, file);
  }
  return bundle;
}

std::filesystem::path ModelBundle::modelFile(const std::optional<std::string>& functionName) const {
  std::error_code error;
  if (!std::filesystem::exists(folder / kModelFile, error)) {
    throw MLModelError::unsupportedModelFormat(
        fmt::format("{} holds no {}: this build runs only ONNX networks.", folder.string(), kModelFile));
  }
  const auto& name = functionName ? functionName : defaultFunctionName;
  if (!name) return folder / kModelFile;
  auto it = functions.find(*name);
  if (it == functions.end()) {
    std::string known;
    for (const auto& entry : functions) known += (known.empty() ? "" : ", ") + entry.first;
    throw MLModelError::invalidModel(fmt::format("{} has no function \"{}\" (it has: {}).", folder.string(), *name,
                                                 known.empty() ? "none" : known));
  }
  const auto path = folder / it->second;
  if (!std::filesystem::exists(path, error)) {
    throw MLModelError::invalidModel(fmt::format("Function \"{}\" of {} names missing file {}.", *name, folder.string(), it->second));
  }
  return path;
}

std::vector<std::filesystem::path> ModelBundle::modelFiles() const {
  std::vector<std::filesystem::path> files{folder / kModelFile};
  for (const auto& entry : functions) {
    const auto path = folder / entry.second;
    if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
  }
  return files;
}

}  // namespace platform::ml
