#include "speech/Shared/Download/UnsupportedModelFormatError.h"

#include <fmt/format.h>

namespace tesselaudio {

namespace {

std::string describe(const std::exception_ptr& error) {
  if (!error) return "no details";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

std::string bundleName(const std::filesystem::path& bundle) {
  const std::filesystem::path name = bundle.filename();
  return name.empty() ? bundle.parent_path().filename().string() : name.string();
}

}  // namespace

UnsupportedModelFormatError::UnsupportedModelFormatError(const std::filesystem::path& bundle,
                                                         std::exception_ptr underlying)
    : platform::Error("UnsupportedModelFormatError", kDomain, 0,
                      fmt::format("Model bundle {} holds no model.onnx; this build runs ONNX networks only ({})",
                                  bundleName(bundle), describe(underlying)),
                      bundle, underlying),
      bundle_(bundle) {}

}  // namespace tesselaudio
