#include "speech/Shared/Download/UnsupportedModelFormatError.h"

#include <fmt/format.h>

#include "platform/ml/MLModelError.h"

namespace tesselaudio {

namespace {

std::string bundleName(const std::filesystem::path& bundle) {
  const std::filesystem::path name = bundle.filename();
  return name.empty() ? bundle.parent_path().filename().string() : name.string();
}

// What the runtime refused: the missing network, or an operator or element type of a network it has.
std::string refusalText(const std::filesystem::path& bundle, const std::exception_ptr& underlying) {
  try {
    if (underlying) std::rethrow_exception(underlying);
  } catch (const platform::MLModelError& error) {
    if (error.errorCode() != platform::MLModelError::Code::unsupportedModelFormat) {
      return fmt::format("Model bundle {} needs what this build cannot run: {}", bundleName(bundle),
                         error.description());
    }
  } catch (...) {
  }
  return fmt::format("Model bundle {} holds no model.onnx; this build runs ONNX networks only", bundleName(bundle));
}

}  // namespace

UnsupportedModelFormatError::UnsupportedModelFormatError(const std::filesystem::path& bundle,
                                                         std::exception_ptr underlying)
    : platform::Error("UnsupportedModelFormatError", kDomain, 0, refusalText(bundle, underlying), bundle,
                      underlying),
      bundle_(bundle) {}

}  // namespace tesselaudio
