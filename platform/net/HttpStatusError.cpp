#include "platform/net/HttpStatusError.h"

#include <fmt/format.h>

namespace platform {

HttpStatusError::HttpStatusError(int statusCode)
    : Error("NSError", kDomain, statusCode,
            fmt::format("The operation couldn\u2019t be completed. (HTTP error {}.)", statusCode)) {}

}  // namespace platform
