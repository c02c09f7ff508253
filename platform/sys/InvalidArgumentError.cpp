#include "platform/sys/InvalidArgumentError.h"

#include <utility>

namespace platform {

InvalidArgumentError::InvalidArgumentError(std::string parameter, const std::string& reason)
    : Error("InvalidArgumentError", "platform.InvalidArgument", 1,
            "Invalid " + parameter + ": " + reason),
      parameter_(std::move(parameter)) {}

}  // namespace platform
