#pragma once

#include "platform/sys/Error.h"

namespace tesselaudio::ANEMemoryUtils {

// The error of aligned model buffers: allocation, shapes and bounds of zero-copy views, and element
// types. Four cases without payload; code() is the case's position, the description its fixed text.
// Values.
class ANEMemoryError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.ANEMemoryError";

  enum class Case {
    allocationFailed,
    invalidShape,
    unsupportedDataType,
    invalidArrayBounds,
  };

  // "Failed to allocate ANE-aligned memory."
  static ANEMemoryError allocationFailed() { return ANEMemoryError(Case::allocationFailed); }
  // "Invalid shape for ANE-aligned array."
  static ANEMemoryError invalidShape() { return ANEMemoryError(Case::invalidShape); }
  // "Unsupported MLMultiArray data type for ANE memory operation."
  static ANEMemoryError unsupportedDataType() { return ANEMemoryError(Case::unsupportedDataType); }
  // "Array bounds exceeded for zero-copy view."
  static ANEMemoryError invalidArrayBounds() { return ANEMemoryError(Case::invalidArrayBounds); }

  Case errorCase() const { return static_cast<Case>(code()); }

  bool operator==(const ANEMemoryError& other) const { return code() == other.code(); }

 private:
  explicit ANEMemoryError(Case errorCase);
};

}  // namespace tesselaudio::ANEMemoryUtils
