#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace platform {
class MLModel;
struct MLModelConfiguration;
}  // namespace platform

// Opening a model of a recogniser's model folder by its name: the compiled bundle
// "<name>.mlmodelc" when present, else the package "<name>.mlpackage" compiled into $TMPDIR for
// this load only. Safe from any thread.
namespace tesselaudio::ModelFolder {

// "<name>.mlmodelc".
std::string bundleName(std::string_view name);

// The model `name` of `from`, loaded with `configuration`; owned by the caller.
// Throws ASRError::processingFailed("<engine> model not found: <name>") when the folder holds
// neither form; UnsupportedModelFormatError for a bundle without model.onnx; the runtime's compile
// or load error unchanged.
std::shared_ptr<const platform::MLModel> load(std::string_view name, const std::filesystem::path& from,
                                              const platform::MLModelConfiguration& configuration,
                                              std::string_view engine);

}  // namespace tesselaudio::ModelFolder
