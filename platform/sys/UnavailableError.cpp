#include "platform/sys/UnavailableError.h"

#include <utility>

namespace platform {

UnavailableError::UnavailableError(std::string description)
    : Error("UnavailableError", "platform.Unavailable", 1, std::move(description)) {}

}  // namespace platform
