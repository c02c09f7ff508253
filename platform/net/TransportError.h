#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// The one error of a failed HTTP transfer, thrown by every HTTP caller of the project. It keeps the
// URL-error domain and codes that callers (and logs) recognise, whatever the transport below.
class TransportError : public Error {
 public:
  static constexpr const char* kDomain = "NSURLErrorDomain";

  enum class Code : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    dnsLookupFailed = -1006,
    httpTooManyRedirects = -1007,
    resourceUnavailable = -1008,
    notConnectedToInternet = -1009,
    badServerResponse = -1011,
    dataLengthExceedsMaximum = -1103,
    secureConnectionFailed = -1200,
  };

  // `url` is the address involved; `detail` the transport's own message (may be empty).
  TransportError(Code code, std::string url, std::string detail = {});

  Code transportCode() const { return static_cast<Code>(code()); }
  const std::string& url() const { return url_; }

 private:
  std::string url_;
};

}  // namespace platform
