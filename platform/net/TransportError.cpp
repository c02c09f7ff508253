#include "platform/net/TransportError.h"

#include <utility>

#include <fmt/format.h>

namespace platform {

namespace {

const char* standardText(TransportError::Code code) {
  using Code = TransportError::Code;
  switch (code) {
    case Code::cancelled: return "cancelled";
    case Code::badURL: return "bad URL";
    case Code::timedOut: return "The request timed out.";
    case Code::unsupportedURL: return "unsupported URL";
    case Code::cannotFindHost: return "A server with the specified hostname could not be found.";
    case Code::cannotConnectToHost: return "Could not connect to the server.";
    case Code::networkConnectionLost: return "The network connection was lost.";
    case Code::dnsLookupFailed: return "The host name could not be resolved.";
    case Code::httpTooManyRedirects: return "too many HTTP redirects";
    case Code::resourceUnavailable: return "resource unavailable";
    case Code::notConnectedToInternet: return "The Internet connection appears to be offline.";
    case Code::badServerResponse: return "bad server response";
    case Code::dataLengthExceedsMaximum: return "resource exceeds maximum size";
    case Code::secureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case Code::unknown: break;
  }
  return "unknown error";
}

std::string describe(TransportError::Code code, const std::string& url, const std::string& detail) {
  if (detail.empty()) return fmt::format("{} ({})", standardText(code), url);
  return fmt::format("{} ({}: {})", standardText(code), url, detail);
}

}  // namespace

TransportError::TransportError(Code code, std::string url, std::string detail)
    : Error("URLError", kDomain, static_cast<int>(code), describe(code, url, detail)),
      url_(std::move(url)) {}

}  // namespace platform
