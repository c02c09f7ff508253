#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A service that this build or this machine does not offer (yet): the description says which, in
// words fit for the user. Domain "platform.Unavailable", code 1. Values.
class UnavailableError : public Error {
 public:
  explicit UnavailableError(std::string description);
};

}  // namespace platform
