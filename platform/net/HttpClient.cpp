#include "platform/net/HttpClient.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include <curl/curl.h>
#include <fmt/format.h>

#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using MultiHandle = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// The longest the transfer loop sleeps between checks of its idle clock.
constexpr int kMaxPollMs = 1000;

void initialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long millisecondsOf(double seconds) {
  if (!(seconds > 0)) return 1;
  return static_cast<long>(std::min(std::ceil(seconds * 1000.0), 2.0e9));
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

TransportError::Code codeOf(CURLcode result, long osErrno) {
  using Code = TransportError::Code;
  switch (result) {
    case CURLE_OPERATION_TIMEDOUT: return Code::timedOut;
    case CURLE_COULDNT_CONNECT:
      return osErrno == ENETUNREACH || osErrno == ENETDOWN ? Code::notConnectedToInternet
                                                           : Code::cannotConnectToHost;
    case CURLE_COULDNT_RESOLVE_HOST: return Code::cannotFindHost;
    case CURLE_COULDNT_RESOLVE_PROXY: return Code::dnsLookupFailed;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return Code::networkConnectionLost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT: return Code::secureConnectionFailed;
    case CURLE_ABORTED_BY_CALLBACK: return Code::cancelled;
    case CURLE_FILESIZE_EXCEEDED: return Code::dataLengthExceedsMaximum;
    case CURLE_UNSUPPORTED_PROTOCOL: return Code::unsupportedURL;
    case CURLE_URL_MALFORMAT: return Code::badURL;
    case CURLE_TOO_MANY_REDIRECTS: return Code::httpTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY: return Code::badServerResponse;
    default: return Code::unknown;
  }
}

// One transfer: an easy handle driven by its own multi handle on the calling thread, so that a
// stop, the idle clock and the size cap are checked promptly without libcurl's one-second ticks.
class Transfer {
 public:
  Transfer(const HttpRequest& request, const ProxySettings& proxies, HttpStreamHandler& handler)
      : request_(request), handler_(handler) {
    if (!easy_ || !multi_) throw TransportError(TransportError::Code::unknown, request.url, "out of memory");
    configure(proxies);
  }

  HttpResponse run(std::stop_token stop) {
    if (stop.stop_requested()) throwCancelled();
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
      throw TransportError(TransportError::Code::unknown, request_.url, "cannot start transfer");
    }
    const CURLcode result = drive(stop);
    curl_multi_remove_handle(multi_.get(), easy_.get());
    return finish(result);
  }

 private:
  enum class Abort { none, stop, idle, handler, cap };

  void configure(const ProxySettings& proxies) {
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request_.followRedirects ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, request_.allowsHttp09 ? 1L : 0L);
    if (!request_.caBundlePath.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, request_.caBundlePath.c_str());
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, millisecondsOf(request_.idleTimeout));
    if (request_.overallTimeout) {
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, millisecondsOf(*request_.overallTimeout));
    }
    if (request_.maxResponseBytes) {
      curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(*request_.maxResponseBytes));
    }
    // Set on every request so that libcurl never consults the proxy variables itself.
    const bool secure = request_.url.rfind("https:", 0) == 0 || request_.url.rfind("HTTPS:", 0) == 0;
    const auto& proxy = secure ? proxies.https : proxies.http;
    proxyText_ = proxy && proxy->enabled ? fmt::format("http://{}:{}", proxy->host, proxy->port) : "";
    curl_easy_setopt(easy, CURLOPT_PROXY, proxyText_.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");

    if (request_.method == HttpRequest::Method::post) {
      const std::string& body = request_.body ? *request_.body : std::string();
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
    }
    setHeaders();

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  }

  void setHeaders() {
    curl_slist* list = nullptr;
    auto append = [&](const std::string& line) {
      curl_slist* grown = curl_slist_append(list, line.c_str());
      if (grown == nullptr) {
        curl_slist_free_all(list);
        throw TransportError(TransportError::Code::unknown, request_.url, "out of memory");
      }
      list = grown;
    };
    for (const auto& [name, value] : request_.headers.fields()) {
      // "Name;" is libcurl's way of sending a header with an empty value.
      append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!request_.headers.contains("Accept")) append("Accept:");
    if (!request_.headers.contains("Expect")) append("Expect:");
    headerList_.reset(list);
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, list);
  }

  CURLcode drive(std::stop_token stop) {
    std::stop_callback wakeOnStop(stop, [this] { curl_multi_wakeup(multi_.get()); });
    const auto idleLimit = std::chrono::milliseconds(millisecondsOf(request_.idleTimeout));
    auto lastActivity = Clock::now();
    std::int64_t lastMoved = -1;
    for (;;) {
      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      if (auto done = completion()) return *done;
      if (abort_ != Abort::none) return CURLE_ABORTED_BY_CALLBACK;
      if (stop.stop_requested()) {
        abort_ = Abort::stop;
        return CURLE_ABORTED_BY_CALLBACK;
      }
      const std::int64_t moved = bytesMoved();
      const auto now = Clock::now();
      if (moved != lastMoved) {
        lastMoved = moved;
        lastActivity = now;
      } else if (now - lastActivity >= idleLimit) {
        abort_ = Abort::idle;
        return CURLE_OPERATION_TIMEDOUT;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(idleLimit - (now - lastActivity));
      const int waitMs = static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 1, kMaxPollMs));
      curl_multi_poll(multi_.get(), nullptr, 0, waitMs, nullptr);
    }
  }

  std::optional<CURLcode> completion() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
      if (message->msg == CURLMSG_DONE) return message->data.result;
    }
    return std::nullopt;
  }

  std::int64_t bytesMoved() const {
    curl_off_t uploaded = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return bytesReceived_ + static_cast<std::int64_t>(uploaded);
  }

  HttpResponse finish(CURLcode result) {
    switch (abort_) {
      case Abort::stop: throwCancelled();
      case Abort::idle:
        throw TransportError(TransportError::Code::timedOut, request_.url,
                             fmt::format("no data moved for {} ms", millisecondsOf(request_.idleTimeout)));
      case Abort::handler:
        if (handlerError_) std::rethrow_exception(handlerError_);
        throw TransportError(TransportError::Code::cancelled, request_.url, "aborted by the receiver");
      case Abort::cap:
        throw TransportError(TransportError::Code::dataLengthExceedsMaximum, request_.url,
                             fmt::format("body longer than {} bytes", *request_.maxResponseBytes));
      case Abort::none: break;
    }
    if (result != CURLE_OK) {
      long osErrno = 0;
      curl_easy_getinfo(easy_.get(), CURLINFO_OS_ERRNO, &osErrno);
      std::string detail = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(result);
      throw TransportError(codeOf(result, osErrno), request_.url, std::move(detail));
    }
    if (!headDelivered_) {
      deliverHead();
      if (handlerError_) std::rethrow_exception(handlerError_);
    }
    return head_;
  }

  [[noreturn]] void throwCancelled() {
    throw CancellationError(std::make_exception_ptr(
        TransportError(TransportError::Code::cancelled, request_.url, "stopped by the caller")));
  }

  bool deliverHead() {
    headDelivered_ = true;
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    char* effectiveUrl = nullptr;
    curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &effectiveUrl);
    curl_off_t length = -1;
    curl_easy_getinfo(easy_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    head_.statusCode = static_cast<int>(status);
    head_.headers = blockHeaders_;
    head_.url = effectiveUrl != nullptr ? effectiveUrl : request_.url;
    head_.expectedContentLength = length < 0 ? -1 : static_cast<std::int64_t>(length);
    char* redirect = nullptr;
    if (!request_.followRedirects && curl_easy_getinfo(easy_.get(), CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK &&
        redirect != nullptr) {
      head_.redirectURL = redirect;
    }
    return callHandler([&] { return handler_.onResponse(head_); });
  }

  template <class Call>
  bool callHandler(Call&& call) {
    try {
      if (call()) return true;
    } catch (...) {
      handlerError_ = std::current_exception();
    }
    abort_ = Abort::handler;
    return false;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* context) {
    auto& self = *static_cast<Transfer*>(context);
    const std::string_view line(data, size * count);
    self.bytesReceived_ += static_cast<std::int64_t>(line.size());
    if (line.rfind("HTTP/", 0) == 0) {
      // Each response (a redirect, an interim 1xx, a proxy's CONNECT answer) starts a new block.
      self.blockHeaders_ = HttpHeaders();
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
      self.blockHeaders_.add(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    return size * count;
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* context) {
    auto& self = *static_cast<Transfer*>(context);
    const std::string_view chunk(data, size * count);
    self.bytesReceived_ += static_cast<std::int64_t>(chunk.size());
    if (!self.headDelivered_ && !self.deliverHead()) return 0;
    self.bodyBytes_ += static_cast<std::int64_t>(chunk.size());
    if (self.request_.maxResponseBytes && self.bodyBytes_ > *self.request_.maxResponseBytes) {
      self.abort_ = Abort::cap;
      return 0;
    }
    if (!self.callHandler([&] { return self.handler_.onData(chunk); })) return 0;
    return chunk.size();
  }

  const HttpRequest& request_;
  HttpStreamHandler& handler_;
  EasyHandle easy_{curl_easy_init(), &curl_easy_cleanup};
  MultiHandle multi_{curl_multi_init(), &curl_multi_cleanup};
  HeaderList headerList_{nullptr, &curl_slist_free_all};
  std::string proxyText_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  HttpHeaders blockHeaders_;
  HttpResponse head_;
  bool headDelivered_ = false;
  std::int64_t bytesReceived_ = 0;
  std::int64_t bodyBytes_ = 0;
  Abort abort_ = Abort::none;
  std::exception_ptr handlerError_;
};

// Gathers a whole body for send().
class BodyCollector : public HttpStreamHandler {
 public:
  bool onResponse(const HttpResponse&) override { return true; }
  bool onData(std::string_view chunk) override {
    body.append(chunk);
    return true;
  }
  std::string body;
};

}  // namespace

HttpClient::HttpClient(ProxySettings proxies) : proxies_(std::move(proxies)) { initialiseCurl(); }

HttpClient& HttpClient::shared() {
  static HttpClient client(ProxySettings::fromEnvironment());
  return client;
}

HttpResponse HttpClient::send(const HttpRequest& request, std::stop_token stop) const {
  BodyCollector collector;
  HttpResponse response = stream(request, collector, std::move(stop));
  response.body = std::move(collector.body);
  return response;
}

HttpResponse HttpClient::stream(const HttpRequest& request, HttpStreamHandler& handler,
                                std::stop_token stop) const {
  Transfer transfer(request, proxies_, handler);
  return transfer.run(std::move(stop));
}

}  // namespace platform
