#pragma once

#include <stop_token>

#include "platform/net/HttpRequest.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/HttpStreamHandler.h"
#include "platform/net/ProxySettings.h"

namespace platform {

// The project's HTTP client (libcurl). Every HTTP caller goes through the one shared client,
// which uses the proxies of the environment as they were when it was first made. Only http and
// https are spoken, redirects included; redirects are followed, and an "Authorization" header is
// never sent on to another host. Safe from any thread; each call runs its transfer on the calling
// thread.
//
//   platform::HttpRequest request{.url = "https://example.org/x.json"};
//   request.idleTimeout = 30;
//   auto response = platform::HttpClient::shared().send(request, stop);
class HttpClient {
 public:
  explicit HttpClient(ProxySettings proxies = {});

  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The process's client, made on first use with ProxySettings::fromEnvironment().
  static HttpClient& shared();

  const ProxySettings& proxySettings() const { return proxies_; }

  // Runs the request and returns the final response with its whole body. Any HTTP status is a
  // response, not an error.
  // Throws TransportError (time-outs -1001, refused -1004, reset -1005, a body over the cap -1103,
  // ...) or, when `stop` is requested, CancellationError whose underlying error is the -999
  // TransportError; a stop requested before the call sends nothing.
  HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) const;

  // Runs the request, handing the response head and the body chunks to `handler`, and returns the
  // response head (without body) once the transfer has completed.
  // Throws as send(); a transfer that the handler aborted throws the -999 TransportError, and an
  // exception of the handler is passed on as it is.
  HttpResponse stream(const HttpRequest& request, HttpStreamHandler& handler,
                      std::stop_token stop = {}) const;

 private:
  ProxySettings proxies_;
};

}  // namespace platform
