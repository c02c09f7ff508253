#include "speech/Shared/MLModelConfigurationUtils.h"

#include "platform/sys/Environment.h"
#include "platform/sys/StandardPaths.h"

namespace tesselaudio::MLModelConfigurationUtils {

platform::MLModelConfiguration defaultConfiguration(platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  configuration.computeUnits = computeUnits;
  return configuration;
}

platform::MLModelConfiguration environmentDefaultConfiguration() {
  const bool onCI = platform::Environment::value("CI").has_value();
  return defaultConfiguration(onCI ? platform::MLComputeUnits::cpuAndNeuralEngine : platform::MLComputeUnits::all);
}

std::filesystem::path defaultModelsDirectory(const std::optional<Repo>& for_) {
  auto root = platform::StandardPaths::applicationSupportDirectory() / "TesselAudio" / "Models";
  if (for_) root /= for_->folderName();
  return root;
}

}  // namespace tesselaudio::MLModelConfigurationUtils
