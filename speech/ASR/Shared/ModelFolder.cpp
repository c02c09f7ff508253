#include "speech/ASR/Shared/ModelFolder.h"

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/Download/ModelHub.h"

namespace tesselaudio::ModelFolder {

std::string bundleName(std::string_view name) { return std::string(name) + ".mlmodelc"; }

std::shared_ptr<const platform::MLModel> load(std::string_view name, const std::filesystem::path& from,
                                              const platform::MLModelConfiguration& configuration,
                                              std::string_view engine) {
  const std::filesystem::path compiled = from / bundleName(name);
  if (std::filesystem::exists(compiled)) return ModelHub::openCompiledModel(compiled, configuration);
  const std::filesystem::path package = from / (std::string(name) + ".mlpackage");
  if (std::filesystem::exists(package)) return platform::MLModel::compileAndLoad(package, configuration);
  throw ASRError::processingFailed(std::string(engine) + " model not found: " + std::string(name));
}

}  // namespace tesselaudio::ModelFolder
