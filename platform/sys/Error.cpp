#include "platform/sys/Error.h"

#include <utility>

namespace platform {

Error::Error(std::string typeName, std::string domain, int code, std::string description)
    : typeName_(std::move(typeName)),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

const char* Error::what() const noexcept { return description_.c_str(); }

}  // namespace platform
