#include "speech/ASR/Parakeet/AsrModels.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "platform/sys/HostEnvironment.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/Shared/MLModelConfigurationUtils.h"

namespace tesselaudio {
namespace {

using platform::MLComputeUnits;

// More specific folder names come before the names they contain.
constexpr std::array<AsrModelVersion, 10> kInferenceOrder = {
    AsrModelVersion::tdtCtc110m, AsrModelVersion::v2,       AsrModelVersion::v3,
    AsrModelVersion::redux,      AsrModelVersion::ultra,    AsrModelVersion::quillet25,
    AsrModelVersion::quillet2,   AsrModelVersion::thistle3Clean, AsrModelVersion::thistle3,
    AsrModelVersion::tdtJa};

constexpr platform::HostEnvironment::OperatingSystemVersion kCompressedEncoderSystem{15, 0, 0};

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

// The last component of `path`, also when it ends with a separator.
std::string lastComponent(std::filesystem::path path) {
  path = path.lexically_normal();
  if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) path = path.parent_path();
  return path.filename().string();
}

std::string cacheFolderName(AsrModelVersion version) { return lowercased(version.repo().folderName()); }

}  // namespace

const ModelNames::NameSet& AsrModels::requiredModelNames() { return ModelNames::ASR::requiredModels(); }

std::filesystem::path AsrModels::defaultCacheDirectory(AsrModelVersion for_) {
  return MLModelConfigurationUtils::defaultModelsDirectory(for_.repo());
}

void AsrModels::checkPlatformSupport(AsrModelVersion for_) {
  const auto platformName = for_.macOS15PlatformName();
  if (!platformName) return;
  if (platform::HostEnvironment::current()->operatingSystemVersion() >= kCompressedEncoderSystem) return;
  throw AsrModelsError::loadingFailed(
      std::string(*platformName) +
      " requires iOS 18 / macOS 15 (its compressed encoder uses iOS 18 Core ML ops). "
      "Use AsrModelVersion.ultra on iOS 17 / macOS 14.");
}

ModelNames::NameSet AsrModels::getRequiredModels(AsrModelVersion version,
                                                 ParakeetEncoderPrecision encoderPrecision) {
  switch (version) {
    case AsrModelVersion::v2:
      return ModelNames::ASR::requiredModels();
    case AsrModelVersion::v3:
      return ModelNames::ASR::requiredModelsV3(encoderPrecision);
    case AsrModelVersion::tdtCtc110m:
      return ModelNames::ASR::requiredModelsFused();
    case AsrModelVersion::tdtJa:
      return ModelNames::TDTJa::requiredModels();
    default:
      return ModelNames::ASR::requiredModelsV3(ParakeetEncoderPrecision::int8);
  }
}

std::optional<AsrModelVersion> AsrModels::inferredVersion(const std::filesystem::path& from) {
  const std::string name = lowercased(lastComponent(from));
  for (AsrModelVersion version : kInferenceOrder) {
    if (cacheFolderName(version) == name) return version;
  }
  const std::string path = lowercased(from.string());
  for (AsrModelVersion version : kInferenceOrder) {
    if (path.find(cacheFolderName(version)) != std::string::npos) return version;
  }
  return std::nullopt;
}

MLComputeUnits AsrModels::resolvedEncoderComputeUnits(AsrModelVersion for_, MLComputeUnits configuration,
                                                      std::optional<MLComputeUnits> requested) {
  if (for_ != AsrModelVersion::quillet25) return requested.value_or(configuration);
  const MLComputeUnits candidate = requested.value_or(
      configuration == MLComputeUnits::cpuOnly ? MLComputeUnits::cpuOnly : MLComputeUnits::cpuAndGPU);
  if (candidate == MLComputeUnits::cpuOnly || candidate == MLComputeUnits::cpuAndGPU) return candidate;
  throw AsrModelsError::loadingFailed(
      "Quillet-2.5 supports the GPU encoder or CPU-only diagnostics; ANE encoder parity is not "
      "validated. Use encoderComputeUnits: .cpuAndGPU.");
}

}  // namespace tesselaudio
