#include "speech/Shared/MLModelConfigurationUtils.h"

#include "platform/sys/StandardPaths.h"

namespace tesselaudio::MLModelConfigurationUtils {

platform::MLModelConfiguration defaultConfiguration(platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  configuration.computeUnits = computeUnits;
  return configuration;
}

std::filesystem::path defaultModelsDirectory(const std::optional<Repo>& for_) {
  auto root = platform::StandardPaths::applicationSupportDirectory() / "TesselAudio" / "Models";
  if (for_) root /= for_->folderName();
  return root;
}

}  // namespace tesselaudio::MLModelConfigurationUtils
