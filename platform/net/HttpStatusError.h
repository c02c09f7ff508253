#pragma once

#include "platform/sys/Error.h"

namespace platform {

// An HTTP status that a caller refuses, carried as domain "HTTP" with the status as code (and no
// further information), so that retry decisions can read exactly that pair.
class HttpStatusError : public Error {
 public:
  static constexpr const char* kDomain = "HTTP";
  explicit HttpStatusError(int statusCode);
};

}  // namespace platform
