#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A failure inside the cryptography library: domain "OpenSSL", the library's error code, and the
// operation with the library's reason. Values.
class CryptoError : public Error {
 public:
  // The error of `operation` ("EVP_DigestInit_ex", ...) with the library's first queued error,
  // which it takes off the thread's queue.
  static CryptoError fromLibrary(const std::string& operation);

 private:
  CryptoError(int code, std::string description);
};

}  // namespace platform
