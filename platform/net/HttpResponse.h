#pragma once

#include <cstdint>
#include <string>

#include "platform/net/HttpHeaders.h"

namespace platform {

// The final response of a request (after redirects). `body` is filled by whole-body calls only;
// a streamed transfer hands the body to its handler instead. A value type.
struct HttpResponse {
  // 0 for an answer without a status line (see HttpRequest::allowsHttp09).
  int statusCode = 0;
  HttpHeaders headers;
  // The address that answered (the last one when redirects were followed).
  std::string url;
  // The announced body length; -1 when the response did not say.
  std::int64_t expectedContentLength = -1;
  // The absolute address a redirect response points to, when redirects were not followed; else empty.
  std::string redirectURL;
  std::string body;

  bool operator==(const HttpResponse&) const = default;
};

}  // namespace platform
