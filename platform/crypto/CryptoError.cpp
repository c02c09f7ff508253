#include "platform/crypto/CryptoError.h"

#include <utility>

#include <fmt/format.h>
#include <openssl/err.h>

namespace platform {

CryptoError::CryptoError(int code, std::string description)
    : Error("CryptoError", "OpenSSL", code, std::move(description)) {}

CryptoError CryptoError::fromLibrary(const std::string& operation) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  return CryptoError(static_cast<int>(code & 0x7fffffff),
                     fmt::format("{} failed: {}", operation, reason != nullptr ? reason : "unknown reason"));
}

}  // namespace platform
