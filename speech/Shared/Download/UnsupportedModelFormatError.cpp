#include "speech/Shared/Download/UnsupportedModelFormatError.h"

#include <fmt/format.h>

namespace tesselaudio {

namespace {

std::string bundleName(const std::filesystem::path& bundle) {
  const std::filesystem::path name = bundle.filename();
  return name.empty() ? bundle.parent_path().filename().string() : name.string();
}

}  // namespace

UnsupportedModelFormatError::UnsupportedModelFormatError(const std::filesystem::path& bundle,
                                                         std::exception_ptr underlying)
    : platform::Error("UnsupportedModelFormatError", kDomain, 0,
                      fmt::format("Model bundle {} holds no model.onnx; this build runs ONNX networks only",
                                  bundleName(bundle)),
                      bundle, underlying),
      bundle_(bundle) {}

}  // namespace tesselaudio
