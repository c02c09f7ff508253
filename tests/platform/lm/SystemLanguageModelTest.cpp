#include "platform/lm/SystemLanguageModel.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "platform/lm/LanguageModelSession.h"
#include "platform/sys/Error.h"
#include "tests/support/LanguageModelFake.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::LanguageModelFake;
using Availability = SystemLanguageModel::Availability;
using Reason = SystemLanguageModel::UnavailableReason;

const Availability kNotReady = Availability::unavailable(Reason::modelNotReady);

// Polls `model` until it reads `expected`, for at most a few seconds.
bool eventuallyReads(const SystemLanguageModel& model, Availability expected) {
  for (int i = 0; i < 1000; ++i) {
    if (model.availability() == expected) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Accepts connections and answers each with bytes that are not HTTP.
class GarbageServer {
 public:
  GarbageServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        char buffer[4096];
        (void)::recv(client, buffer, sizeof buffer, 0);
        const char garbage[] = "\x01\x02 no http here\r\n\r\n";
        (void)::send(client, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
        ::close(client);
      }
    });
  }
  ~GarbageServer() {
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

TEST(SystemLanguageModelTest, AddressDecidesBeforeAnyProbe) {
  struct Case {
    const char* name;
    const char* url;
    Availability expected;
  };
  const Case cases[] = {
      {"none", "", Availability::unavailable(Reason::appleIntelligenceNotEnabled)},
      {"unknownScheme", "ftp://127.0.0.1:8080", Availability::unavailable(Reason::other)},
      {"spaces", "http://my server:8080", Availability::unavailable(Reason::other)},
      {"noUrl", "localhost", Availability::unavailable(Reason::other)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LanguageModelConfiguration configuration;
    configuration.url = c.url;
    SystemLanguageModel model(configuration);
    EXPECT_EQ(model.availability(), c.expected);
    EXPECT_EQ(model.refreshAvailability(), c.expected);
  }
}

TEST(SystemLanguageModelTest, ProbeAnswerDecides) {
  struct Case {
    const char* name;
    int status;
    Availability expected;
  };
  const Case cases[] = {
      {"ok", 200, Availability::available()},
      {"notFound", 404, Availability::available()},
      {"loading", 503, kNotReady},
  };
  LanguageModelFake fake;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake.setProbeAnswer(c.status);
    SystemLanguageModel model(fake.configuration());
    EXPECT_EQ(model.refreshAvailability(), c.expected);
    EXPECT_EQ(model.availability(), c.expected);
  }
}

TEST(SystemLanguageModelTest, UnreachableOrNonHttpServerIsNotReady) {
  GarbageServer garbage;
  for (const std::string& url : {std::string("http://127.0.0.1:9"), garbage.url()}) {
    SCOPED_TRACE(url);
    LanguageModelConfiguration configuration;
    configuration.url = url;
    SystemLanguageModel model(configuration);
    EXPECT_EQ(model.refreshAvailability(), kNotReady);
  }
}

TEST(SystemLanguageModelTest, ReadDoesNotWaitForAHeldProbe) {
  LanguageModelFake fake;
  fake.setProbeAnswer(200, true);
  SystemLanguageModel model(fake.configuration());
  ASSERT_TRUE(fake.waitForProbes(1));
  // The background probe is still waiting for its answer; a blocking read would hang here.
  EXPECT_EQ(model.availability(), kNotReady);
  fake.release();
  EXPECT_TRUE(eventuallyReads(model, Availability::available()));
}

TEST(SystemLanguageModelTest, SlowBackgroundProbeDoesNotUndoALaterRefresh) {
  LanguageModelFake fake;
  fake.setProbeAnswer(200, true);
  SystemLanguageModel model(fake.configuration());
  ASSERT_TRUE(fake.waitForProbes(1));
  // The server went down to load a model after the background probe was answered "ready".
  fake.setProbeAnswer(503);
  EXPECT_EQ(model.refreshAvailability(), kNotReady);
  fake.release();
  // The background probe's stale answer is dropped and, the model not being ready, it probes again.
  ASSERT_TRUE(fake.waitForProbes(3));
  EXPECT_EQ(model.availability(), kNotReady);
}

TEST(SystemLanguageModelTest, ProbeRepeatsUntilTheModelIsReady) {
  LanguageModelFake fake;
  fake.setProbeAnswer(503);
  SystemLanguageModel model(fake.configuration());
  ASSERT_TRUE(fake.waitForProbes(3));
  EXPECT_EQ(model.availability(), kNotReady);
  fake.setProbeAnswer(200);
  EXPECT_TRUE(eventuallyReads(model, Availability::available()));
}

TEST(SystemLanguageModelTest, TransportFailureOfARequestProbesAgain) {
  LanguageModelFake fake;
  auto configuration = fake.configuration();
  configuration.probeIntervalSeconds = 3600;
  auto model = std::make_shared<SystemLanguageModel>(configuration);
  ASSERT_TRUE(eventuallyReads(*model, Availability::available()));
  const auto probes = fake.probeCount();

  fake.setScript([](const auto&) {
    auto answer = LanguageModelFake::content("{}");
    answer.held = true;
    return answer;
  });
  auto shortLived = configuration;
  shortLived.timeoutSeconds = 0.1;
  auto impatient = std::make_shared<SystemLanguageModel>(shortLived);
  ASSERT_TRUE(fake.waitForProbes(probes + 1));
  const auto before = fake.probeCount();
  LanguageModelSession session(impatient, "i");
  EXPECT_THROW(session.respond("p", GenerationSchema(DynamicGenerationSchema("R", std::nullopt, {}), {}),
                               false, {}),
               Error);
  EXPECT_TRUE(fake.waitForProbes(before + 1));
}

TEST(SystemLanguageModelTest, ConfigurationAddressesAndEnvironment) {
  struct Case {
    const char* url;
    const char* chat;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080/v1/chat/completions"},
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/v1/chat/completions"},
      {"http://127.0.0.1:8080/v1", "http://127.0.0.1:8080/v1/chat/completions"},
      {"http://127.0.0.1:8080/v1/", "http://127.0.0.1:8080/v1/chat/completions"},
      {"http://h/api", "http://h/api/v1/chat/completions"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    LanguageModelConfiguration configuration;
    configuration.url = c.url;
    EXPECT_EQ(configuration.chatCompletionsUrl(), c.chat);
  }
  EXPECT_EQ(LanguageModelConfiguration{}.chatCompletionsUrl(), std::nullopt);

  LanguageModelConfiguration settings;
  settings.url = "http://settings";
  settings.model = "from-settings";
  settings.apiKey = "settings-key";
  ::setenv("VELTOVOICE_LM_URL", "http://env", 1);
  ::setenv("VELTOVOICE_LM_MODEL", "", 1);
  ::setenv("VELTOVOICE_LM_API_KEY", "env-key", 1);
  auto resolved = LanguageModelConfiguration::fromEnvironment(settings);
  ::unsetenv("VELTOVOICE_LM_URL");
  ::unsetenv("VELTOVOICE_LM_MODEL");
  ::unsetenv("VELTOVOICE_LM_API_KEY");
  EXPECT_EQ(resolved.url, "http://env");
  EXPECT_EQ(resolved.model, "from-settings");
  EXPECT_EQ(resolved.apiKey, "env-key");
  EXPECT_EQ(resolved.timeoutSeconds, 300.0);
  EXPECT_EQ(LanguageModelConfiguration::fromEnvironment(settings), settings);
}

}  // namespace
}  // namespace platform
