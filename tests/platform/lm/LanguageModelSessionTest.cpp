#include "platform/lm/LanguageModelSession.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/lm/GenerationError.h"
#include "platform/net/HttpStatusError.h"
#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"
#include "tests/support/LanguageModelFake.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::LanguageModelFake;
using Answer = LanguageModelFake::Answer;

GenerationSchema itemsSchema() {
  DynamicGenerationSchema root(
      "List", std::nullopt,
      {{"items", "項目", DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::string()), false}});
  return GenerationSchema(root, {});
}

// A TCP listener that accepts connections and either resets each or answers with bytes that
// are not HTTP: the faults cpp-httplib cannot produce.
class RawServer {
 public:
  enum class Behaviour { reset, garbage };

  explicit RawServer(Behaviour behaviour) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    // Every connection gets the same treatment: the model's availability probe connects too.
    thread_ = std::thread([this, behaviour] {
      for (;;) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        char buffer[4096];
        (void)::recv(client, buffer, sizeof buffer, 0);
        if (behaviour == Behaviour::reset) {
          linger option{1, 0};
          ::setsockopt(client, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        } else {
          const char garbage[] = "\x01\x02 this is no http at all\r\n\r\n";
          (void)::send(client, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
        }
        ::close(client);
      }
    });
  }

  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

class LanguageModelSessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<SystemLanguageModel> model(LanguageModelConfiguration configuration) {
    return std::make_shared<SystemLanguageModel>(std::move(configuration));
  }

  LanguageModelSession::Response ask(LanguageModelConfiguration configuration,
                                     GenerationOptions options = {}, bool withSchema = true,
                                     std::stop_token stop = {}) {
    LanguageModelSession session(model(std::move(configuration)), "指示");
    return session.respond("質問", itemsSchema(), withSchema, options, stop);
  }

  LanguageModelSession::Response ask() { return ask(fake_.configuration()); }

  LanguageModelFake fake_;
};

TEST_F(LanguageModelSessionTest, SendsInstructionsPromptAndOnlyTheGivenOptions) {
  fake_.setScript([](const auto&) { return LanguageModelFake::content(R"({"items":["x"]})"); });

  auto plain = ask();
  EXPECT_EQ(plain.rawContent, R"({"items":["x"]})");
  EXPECT_EQ(plain.content.value<std::vector<std::string>>("items"), std::vector<std::string>{"x"});

  auto configured = fake_.configuration();
  configured.model = "qwen";
  configured.apiKey = "secret";
  ask(configured, GenerationOptions{.sampling = std::nullopt, .temperature = 0.2, .maximumResponseTokens = 100}, false);

  auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string schemaText = itemsSchema().jsonText();

  EXPECT_EQ(requests[0].system, "指示");
  EXPECT_EQ(requests[0].user, "質問\n\nJSON Schema:\n" + schemaText);
  EXPECT_EQ(requests[0].authorization, "");
  auto first = nlohmann::json::parse(requests[0].body);
  EXPECT_FALSE(first.contains("model"));
  EXPECT_FALSE(first.contains("temperature"));
  EXPECT_FALSE(first.contains("max_tokens"));
  EXPECT_EQ(first["stream"], false);
  EXPECT_EQ(first["response_format"]["type"], "json_schema");
  EXPECT_EQ(first["response_format"]["json_schema"]["name"], "List");
  EXPECT_EQ(first["response_format"]["json_schema"]["strict"], true);
  EXPECT_EQ(first["response_format"]["json_schema"]["schema"], nlohmann::json::parse(schemaText));

  EXPECT_EQ(requests[1].user, "質問");
  EXPECT_EQ(requests[1].authorization, "Bearer secret");
  auto second = nlohmann::json::parse(requests[1].body);
  EXPECT_EQ(second["model"], "qwen");
  EXPECT_EQ(second["temperature"], 0.2);
  EXPECT_EQ(second["max_tokens"], 100);
}

TEST_F(LanguageModelSessionTest, ServerAnswersMapToGenerationErrors) {
  using C = GenerationError::Case;
  struct Case {
    const char* name;
    Answer answer;
    C expected;
    const char* description;
  };
  const std::string ok = LanguageModelFake::content(R"({"items":[]})").body;
  const Case cases[] = {
      {"contextByMessage",
       LanguageModelFake::error(400, "the request exceeds the available context size"),
       C::exceededContextWindowSize,
       "exceededContextWindowSize: the request exceeds the available context size"},
      {"contextByType", LanguageModelFake::error(400, "too long", "exceed_context_size_error"),
       C::exceededContextWindowSize, "exceededContextWindowSize: too long"},
      {"contentFilter", LanguageModelFake::content("", "content_filter"), C::guardrailViolation,
       "guardrailViolation"},
      {"tooManyRequests", LanguageModelFake::error(429, "busy"), C::rateLimited, "rateLimited: busy"},
      {"contentNoJson", LanguageModelFake::content("not json"), C::decodingFailure, nullptr},
      {"contentArray", LanguageModelFake::content("[1,2]"), C::decodingFailure, nullptr},
      {"cutAtTokenLimit", LanguageModelFake::content(R"({"items":[)", "length"), C::decodingFailure,
       nullptr},
      {"loading", LanguageModelFake::error(503, "Loading model"), C::assetsUnavailable,
       "assetsUnavailable: Loading model"},
      {"refusal", LanguageModelFake::refusal("I can't help"), C::refusal, "refusal: I can't help"},
      {"bodyNoJson", Answer{200, "<html>oops</html>", "text/html"}, C::decodingFailure, nullptr},
      {"noChoices", Answer{200, R"({"choices":[]})"}, C::decodingFailure, nullptr},
      {"choicesMissing", Answer{200, R"({"id":"x"})"}, C::decodingFailure, nullptr},
      {"emptyContent", LanguageModelFake::content(""), C::decodingFailure, nullptr},
      {"wrongContentType", Answer{200, ok, "text/plain"}, C::decodingFailure, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool readsAnyway = std::string(c.name) == "wrongContentType";
    fake_.setScript([&](const auto&) { return c.answer; });
    try {
      ask();
      EXPECT_TRUE(readsAnyway) << "no error";
    } catch (const GenerationError& error) {
      EXPECT_FALSE(readsAnyway);
      EXPECT_EQ(error.errorCase(), c.expected);
      EXPECT_EQ(error.domain(), GenerationError::kDomain);
      if (c.description) {
        EXPECT_EQ(error.description(), c.description);
      }
    }
  }
}

TEST_F(LanguageModelSessionTest, TransportFailuresThrowTheTransportError) {
  struct Case {
    const char* name;
    std::function<std::string()> url;
    const char* domain;
    int code;
  };
  std::optional<RawServer> raw;
  fake_.setScript([](const auto&) { return LanguageModelFake::error(500, "boom"); });
  const Case cases[] = {
      {"serverError", [&] { return fake_.url(); }, HttpStatusError::kDomain, 500},
      {"badRequestWithoutContext",
       [&] {
         fake_.setScript([](const auto&) { return LanguageModelFake::error(400, "bad grammar"); });
         return fake_.url();
       },
       HttpStatusError::kDomain, 400},
      {"refused", [] { return std::string("http://127.0.0.1:9"); }, TransportError::kDomain, -1004},
      {"reset",
       [&] {
         raw.emplace(RawServer::Behaviour::reset);
         return raw->url();
       },
       TransportError::kDomain, -1005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto configuration = fake_.configuration();
    configuration.url = c.url();
    try {
      ask(configuration);
      ADD_FAILURE() << "no error";
    } catch (const GenerationError& error) {
      ADD_FAILURE() << error.description();
    } catch (const Error& error) {
      EXPECT_EQ(error.domain(), c.domain);
      EXPECT_EQ(error.code(), c.code);
    }
    raw.reset();
  }
}

TEST_F(LanguageModelSessionTest, StopEndsAHeldRequestWithCancellation) {
  fake_.setScript([](const auto&) {
    auto answer = LanguageModelFake::content(R"({"items":[]})");
    answer.held = true;
    return answer;
  });
  std::stop_source source;
  auto pending = std::async(std::launch::async, [&] {
    return ask(fake_.configuration(), {}, true, source.get_token());
  });
  ASSERT_TRUE(fake_.waitForRequests(1));
  source.request_stop();
  EXPECT_THROW(pending.get(), CancellationError);
}

TEST_F(LanguageModelSessionTest, ServerThatNeverAnswersTimesOut) {
  fake_.setScript([](const auto&) {
    auto answer = LanguageModelFake::content(R"({"items":[]})");
    answer.held = true;
    return answer;
  });
  auto configuration = fake_.configuration();
  configuration.timeoutSeconds = 0.2;
  try {
    ask(configuration);
    ADD_FAILURE() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.transportCode(), TransportError::Code::timedOut);
  }
}

TEST_F(LanguageModelSessionTest, TwoSessionsRunAtOnce) {
  // Each answer waits until both requests are in, so the test only completes when they overlap.
  fake_.setScript([this](const LanguageModelFake::Request& request) {
    EXPECT_TRUE(fake_.waitForRequests(2));
    return LanguageModelFake::content(R"({"items":[")" + request.system + R"("]})");
  });
  auto shared = model(fake_.configuration());
  auto run = [&](std::string instructions) {
    LanguageModelSession session(shared, instructions);
    return session.respond("p", itemsSchema(), false, {}).content.value<std::vector<std::string>>("items");
  };
  auto one = std::async(std::launch::async, run, "one");
  auto two = std::async(std::launch::async, run, "two");
  EXPECT_EQ(one.get(), std::vector<std::string>{"one"});
  EXPECT_EQ(two.get(), std::vector<std::string>{"two"});
}

TEST_F(LanguageModelSessionTest, StopRequestedBeforehandSendsNothing) {
  std::stop_source source;
  source.request_stop();
  EXPECT_THROW(ask(fake_.configuration(), {}, true, source.get_token()), CancellationError);
  EXPECT_TRUE(fake_.requests().empty());
}

}  // namespace
}  // namespace platform
