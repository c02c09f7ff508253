#include "speech/Shared/ANEMemoryError.h"

namespace tesselaudio::ANEMemoryUtils {
namespace {

const char* descriptionOf(ANEMemoryError::Case errorCase) {
  switch (errorCase) {
    case ANEMemoryError::Case::allocationFailed: return "Failed to allocate ANE-aligned memory.";
    case ANEMemoryError::Case::invalidShape: return "Invalid shape for ANE-aligned array.";
    case ANEMemoryError::Case::unsupportedDataType:
      return "Unsupported MLMultiArray data type for ANE memory operation.";
    case ANEMemoryError::Case::invalidArrayBounds: return "Array bounds exceeded for zero-copy view.";
  }
  return "";
}

}  // namespace

ANEMemoryError::ANEMemoryError(Case errorCase)
    : platform::Error("ANEMemoryError", kDomain, static_cast<int>(errorCase), descriptionOf(errorCase)) {}

}  // namespace tesselaudio::ANEMemoryUtils
