#include "platform/net/HttpClient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"
#include "tests/support/LoopbackServer.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::LoopbackServer;

// Generous bound for anything a test waits on; only reached when the code under test hangs.
constexpr auto kHangGuard = 10s;

// A loopback server with routes that answer, hold their answer, go silent, trickle, break off and
// overflow; held handlers are released when the fixture ends.
class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("X-Custom", "one");
      res.set_content("hello", "text/plain");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such thing", "text/plain");
    });
    s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.get_header_value("X-Test") + ":" + req.body, "text/plain");
    });
    s.Get("/held", [this](const httplib::Request&, httplib::Response& res) {
      holdUntilReleased();
      res.set_content("late", "text/plain");
    });
    s.Get("/trickle", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(20, "application/octet-stream",
                               [this](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (waitForRelease(20ms)) return false;
                                 sink.write("x", 1);
                                 return offset < 20;
                               });
    });
    s.Get("/drop", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(1000, "application/octet-stream",
                               [](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset > 0) return false;  // breaks off after 100 of 1000 bytes
                                 sink.write(std::string(100, 'a').data(), 100);
                                 return true;
                               });
    });
    s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(1000, 'b'), "application/octet-stream");
    });
    s.Get("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/octet-stream",
                                       [](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 1000) {
                                           sink.done();
                                           return true;
                                         }
                                         sink.write(std::string(100, 'c').data(), 100);
                                         return true;
                                       });
    });
    s.Get("/headers", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.get_header_value("Authorization") + "|" +
                          (req.has_header("Accept") ? "accept" : "no-accept"),
                      "text/plain");
    });
    s.Get("/to-other", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect(other_.url("/headers"));
    });
    s.Get("/to-same", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/headers");
    });
    s.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/hostname");
    });
    s.Get("/counted", [this](const httplib::Request&, httplib::Response& res) {
      ++counted_;
      res.set_content("counted", "text/plain");
    });
    other_.server().Get("/headers", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.get_header_value("Authorization") + "|other", "text/plain");
    });
  }

  void TearDown() override { release(); }

  void release() {
    std::scoped_lock lock(mutex_);
    released_ = true;
    wake_.notify_all();
  }

  // Waits up to `timeout` for the release; true when released.
  bool waitForRelease(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, timeout, [this] { return released_; });
  }

  void holdUntilReleased() {
    {
      std::scoped_lock lock(mutex_);
      ++held_;
      wake_.notify_all();
    }
    waitForRelease(kHangGuard);
  }

  // Waits until a request is being held by the server.
  bool waitUntilHeld() {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, kHangGuard, [this] { return held_ > 0; });
  }

  HttpRequest get(const std::string& path) {
    HttpRequest request;
    request.url = server_.url(path);
    request.idleTimeout = 5;
    return request;
  }

  LoopbackServer server_;
  LoopbackServer other_;
  HttpClient client_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
  int held_ = 0;
  std::atomic<int> counted_ = 0;
};

TEST_F(HttpClientTest, ReturnsStatusHeadersAndBody) {
  const HttpResponse response = client_.send(get("/hello"));
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.body, "hello");
  EXPECT_EQ(response.headers.value("x-custom"), "one");
  EXPECT_EQ(response.headers.value("CONTENT-TYPE"), "text/plain");
  EXPECT_EQ(response.expectedContentLength, 5);
  EXPECT_EQ(response.url, server_.url("/hello"));
}

TEST_F(HttpClientTest, ErrorStatusIsAResponseNotAFailure) {
  const HttpResponse response = client_.send(get("/missing"));
  EXPECT_EQ(response.statusCode, 404);
  EXPECT_EQ(response.body, "no such thing");
}

TEST_F(HttpClientTest, PostsBodyAndHeaders) {
  HttpRequest request = get("/echo");
  request.method = HttpRequest::Method::post;
  request.headers.add("X-Test", "abc");
  request.body = "payload";
  EXPECT_EQ(client_.send(request).body, "abc:payload");
}

TEST_F(HttpClientTest, SendsOnlyTheHeadersGiven) {
  HttpRequest request = get("/headers");
  request.headers.add("Authorization", "Bearer ");
  // The server drops the trailing blank of the field value, as HTTP parsers do.
  EXPECT_EQ(client_.send(request).body, "Bearer|no-accept");
}

TEST_F(HttpClientTest, FollowsRedirectsButKeepsAuthorizationFromOtherHosts) {
  HttpRequest same = get("/to-same");
  same.headers.add("Authorization", "Bearer secret");
  EXPECT_EQ(client_.send(same).body, "Bearer secret|no-accept");

  HttpRequest other = get("/to-other");
  other.headers.add("Authorization", "Bearer secret");
  const HttpResponse response = client_.send(other);
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.body, "|other");
  EXPECT_EQ(response.url, other_.url("/headers"));
}

TEST_F(HttpClientTest, FailuresBecomeTransportErrors) {
  struct Case {
    const char* name;
    std::string url;
    double idleTimeout;
    std::optional<double> overallTimeout;
    std::optional<std::int64_t> maxResponseBytes;
    TransportError::Code expected;
  };
  const Case cases[] = {
      {"silentServerHitsIdleTimeout", server_.url("/held"), 0.1, std::nullopt, std::nullopt,
       TransportError::Code::timedOut},
      {"tricklePassesIdleButNotOverallTimeout", server_.url("/trickle"), 1.0, 0.1, std::nullopt,
       TransportError::Code::timedOut},
      {"refusedPort", "http://127.0.0.1:9/x", 5.0, std::nullopt, std::nullopt,
       TransportError::Code::cannotConnectToHost},
      {"connectionBrokenOffMidBody", server_.url("/drop"), 5.0, std::nullopt, std::nullopt,
       TransportError::Code::networkConnectionLost},
      {"announcedBodyOverCap", server_.url("/big"), 5.0, std::nullopt, 999,
       TransportError::Code::dataLengthExceedsMaximum},
      {"chunkedBodyOverCap", server_.url("/big-chunked"), 5.0, std::nullopt, 250,
       TransportError::Code::dataLengthExceedsMaximum},
      {"redirectToAnotherProtocol", server_.url("/to-file"), 5.0, std::nullopt, std::nullopt,
       TransportError::Code::unsupportedURL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpRequest request;
    request.url = c.url;
    request.idleTimeout = c.idleTimeout;
    request.overallTimeout = c.overallTimeout;
    request.maxResponseBytes = c.maxResponseBytes;
    try {
      client_.send(request);
      ADD_FAILURE() << "no error";
    } catch (const TransportError& error) {
      EXPECT_EQ(error.transportCode(), c.expected) << error.description();
      EXPECT_EQ(error.domain(), "NSURLErrorDomain");
      EXPECT_EQ(error.url(), c.url);
    }
  }
}

TEST_F(HttpClientTest, TrickleWithinIdleTimeoutSucceeds) {
  HttpRequest request = get("/trickle");
  request.idleTimeout = 1.0;
  EXPECT_EQ(client_.send(request).body, std::string(20, 'x'));
}

TEST_F(HttpClientTest, BodyAtTheCapIsAccepted) {
  HttpRequest request = get("/big");
  request.maxResponseBytes = 1000;
  EXPECT_EQ(client_.send(request).body.size(), 1000u);
}

void expectCancelled(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const CancellationError& error) {
    ASSERT_NE(error.underlying(), nullptr);
    EXPECT_EQ(error.underlying()->domain(), "NSURLErrorDomain");
    EXPECT_EQ(error.underlying()->code(), -999);
  }
}

TEST_F(HttpClientTest, StopBeforeStartSendsNothing) {
  std::stop_source stop;
  stop.request_stop();
  expectCancelled([&] { client_.send(get("/counted"), stop.get_token()); });
  EXPECT_EQ(counted_, 0);
}

TEST_F(HttpClientTest, StopEndsAHeldRequest) {
  std::stop_source stop;
  HttpRequest request = get("/held");
  request.idleTimeout = kHangGuard.count();
  auto pending = std::async(std::launch::async, [&] { client_.send(request, stop.get_token()); });
  ASSERT_TRUE(waitUntilHeld());
  stop.request_stop();
  ASSERT_EQ(pending.wait_for(kHangGuard), std::future_status::ready);
  expectCancelled([&] { pending.get(); });
}

// Records what a streamed transfer delivers, optionally refusing after the head.
class RecordingHandler : public HttpStreamHandler {
 public:
  bool onResponse(const HttpResponse& head) override {
    events.push_back("head " + std::to_string(head.statusCode));
    return acceptHead;
  }
  bool onData(std::string_view chunk) override {
    if (events.back() != "data") events.push_back("data");
    body.append(chunk);
    return true;
  }
  bool acceptHead = true;
  std::vector<std::string> events;
  std::string body;
};

TEST_F(HttpClientTest, StreamDeliversFinalHeadOnceThenBody) {
  RecordingHandler handler;
  const HttpResponse head = client_.stream(get("/to-same"), handler);
  EXPECT_EQ(head.statusCode, 200);
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(handler.events, (std::vector<std::string>{"head 200", "data"}));
  EXPECT_EQ(handler.body, "|no-accept");
}

TEST_F(HttpClientTest, HandlerThatRefusesAbortsAsCancelledTransport) {
  RecordingHandler handler;
  handler.acceptHead = false;
  try {
    client_.stream(get("/big"), handler);
    ADD_FAILURE() << "no error";
  } catch (const CancellationError&) {
    ADD_FAILURE() << "a refusal is no stop";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.transportCode(), TransportError::Code::cancelled);
  }
  EXPECT_TRUE(handler.body.empty());
}

TEST_F(HttpClientTest, HandlerExceptionLeavesTheCall) {
  struct Throwing : HttpStreamHandler {
    bool onResponse(const HttpResponse&) override { return true; }
    bool onData(std::string_view) override { throw std::runtime_error("disk full"); }
  } handler;
  EXPECT_THROW(client_.stream(get("/big"), handler), std::runtime_error);
}

TEST_F(HttpClientTest, ProxyReceivesAbsoluteFormRequest) {
  std::string target;
  LoopbackServer proxy;
  proxy.server().Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    target = req.target;
    res.set_content("via proxy", "text/plain");
  });
  ProxySettings settings;
  settings.http = ProxySettings::Entry{true, "127.0.0.1", proxy.port()};
  HttpClient proxied(settings);
  HttpRequest request;
  request.url = "http://hub.example.invalid/org/repo";
  EXPECT_EQ(proxied.send(request).body, "via proxy");
  EXPECT_EQ(target, "http://hub.example.invalid/org/repo");
}

}  // namespace
}  // namespace platform
