#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/HttpHeaders.h"

namespace platform {

// One HTTP request and its per-request limits. A value type.
struct HttpRequest {
  enum class Method { get, post };

  Method method = Method::get;
  std::string url;
  HttpHeaders headers;
  std::optional<std::string> body;
  // The request fails when no byte moves for this long (connecting included).
  double idleTimeout = 60.0;
  // A limit on the whole request; none by default (a limit would kill large downloads).
  std::optional<double> overallTimeout;
  // The most body bytes accepted; a longer body fails the request.
  std::optional<std::int64_t> maxResponseBytes;
  // When false, a redirect is not followed: its response comes back as the final one, with the
  // address it points to in HttpResponse::redirectURL (for callers that vet each hop).
  bool followRedirects = true;
  // When true, an answer without a status line (HTTP/0.9) is taken, with statusCode 0, instead of
  // failing as a transport error; for callers that judge such answers themselves.
  bool allowsHttp09 = false;
  // A PEM file of certificate authorities trusted instead of the system's; empty = the system's.
  std::string caBundlePath;

  bool operator==(const HttpRequest&) const = default;
};

}  // namespace platform
