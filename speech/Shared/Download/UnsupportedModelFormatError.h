#pragma once

#include <exception>
#include <filesystem>
#include <string>

#include "platform/sys/Error.h"
#include "speech/Shared/Download/ModelCachePreservingError.h"

namespace tesselaudio {

// A cached compiled-model bundle that this build cannot run: it holds no `model.onnx` (a Core ML
// bundle as the public hub serves it), or its network uses an operator or element type the runtime
// lacks. The files are not damaged, so the cache stays: deleting and downloading them again would
// bring the same bundle back. Thrown only by ModelHub::openCompiledModel. A value.
class UnsupportedModelFormatError : public platform::Error, public ModelCachePreservingError {
 public:
  static constexpr const char* kDomain = "TesselAudio.UnsupportedModelFormatError";

  // "Model bundle <name> holds no model.onnx; this build runs ONNX networks only", or for an
  // operator or element type "Model bundle <name> needs what this build cannot run: <the runtime's
  // description>", where <name> is the bundle folder's name; `underlying` is the runtime's error,
  // kept as the cause.
  UnsupportedModelFormatError(const std::filesystem::path& bundle, std::exception_ptr underlying);

  const std::filesystem::path& bundle() const { return bundle_; }

  bool preservesModelCache() const override { return true; }

 private:
  std::filesystem::path bundle_;
};

}  // namespace tesselaudio
