#include "platform/ml/MLModelError.h"

namespace platform {

MLModelError::MLModelError(Code code, std::string description)
    : Error("MLModelError", "com.apple.CoreML", static_cast<int>(code), std::move(description)) {}

}  // namespace platform
