#include "tests/support/LanguageModelFake.h"

#include <utility>

#include <nlohmann/json.hpp>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// Bounds every wait of the fake; only reached when the code under test hangs.
constexpr auto kHangGuard = 10s;

std::string messageOf(const nlohmann::json& body, const char* role) {
  if (!body.is_object() || !body.contains("messages")) return {};
  for (const auto& message : body["messages"]) {
    if (message.value("role", "") == role) return message.value("content", "");
  }
  return {};
}

}  // namespace

LanguageModelFake::LanguageModelFake()
    : script_([](const Request&) { return content(R"({"items":[]})"); }) {
  auto& s = server_.server();
  s.Post("/v1/chat/completions", [this](const httplib::Request& req, httplib::Response& res) {
    const auto body = nlohmann::json::parse(req.body, nullptr, false);
    Request request{messageOf(body, "system"), messageOf(body, "user"), req.body,
                    req.get_header_value("Authorization")};
    Script script;
    {
      std::scoped_lock lock(mutex_);
      requests_.push_back(request);
      script = script_;
    }
    changed_.notify_all();
    Answer answer = script(request);
    holdIfAsked(answer.held);
    res.status = answer.status;
    res.set_content(answer.body, answer.contentType);
  });
  s.Get("/v1/models", [this](const httplib::Request&, httplib::Response& res) {
    int status;
    bool held;
    {
      std::scoped_lock lock(mutex_);
      ++probes_;
      status = probeStatus_;
      held = probeHeld_;
    }
    changed_.notify_all();
    holdIfAsked(held);
    res.status = status;
    res.set_content(R"({"object":"list","data":[{"id":"fake","object":"model"}]})", "application/json");
  });
}

LanguageModelFake::~LanguageModelFake() { release(); }

LanguageModelFake::Answer LanguageModelFake::content(const std::string& contentJson,
                                                     const std::string& finishReason) {
  nlohmann::json body = {
      {"id", "chatcmpl-1"},
      {"object", "chat.completion"},
      {"choices",
       {{{"index", 0},
         {"message", {{"role", "assistant"}, {"content", contentJson}}},
         {"finish_reason", finishReason}}}}};
  return {200, body.dump()};
}

LanguageModelFake::Answer LanguageModelFake::refusal(const std::string& text) {
  nlohmann::json body = {
      {"choices",
       {{{"index", 0},
         {"message", {{"role", "assistant"}, {"content", nullptr}, {"refusal", text}}},
         {"finish_reason", "stop"}}}}};
  return {200, body.dump()};
}

LanguageModelFake::Answer LanguageModelFake::error(int status, const std::string& message,
                                                   const std::string& type) {
  nlohmann::json body = {{"error", {{"message", message}, {"type", type}}}};
  return {status, body.dump()};
}

void LanguageModelFake::setScript(Script script) {
  std::scoped_lock lock(mutex_);
  script_ = std::move(script);
}

void LanguageModelFake::setProbeAnswer(int status, bool held) {
  std::scoped_lock lock(mutex_);
  probeStatus_ = status;
  probeHeld_ = held;
}

void LanguageModelFake::release() {
  {
    std::scoped_lock lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::vector<LanguageModelFake::Request> LanguageModelFake::requests() const {
  std::scoped_lock lock(mutex_);
  return requests_;
}

std::size_t LanguageModelFake::probeCount() const {
  std::scoped_lock lock(mutex_);
  return probes_;
}

bool LanguageModelFake::waitForRequests(std::size_t count) {
  return waitFor([this, count] { return requests_.size() >= count; });
}

bool LanguageModelFake::waitForProbes(std::size_t count) {
  return waitFor([this, count] { return probes_ >= count; });
}

platform::LanguageModelConfiguration LanguageModelFake::configuration() const {
  platform::LanguageModelConfiguration configuration;
  configuration.url = url();
  configuration.timeoutSeconds = 10.0;
  configuration.probeIntervalSeconds = 0.05;
  return configuration;
}

void LanguageModelFake::holdIfAsked(bool held) {
  if (!held) return;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, kHangGuard, [this] { return released_; });
}

bool LanguageModelFake::waitFor(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kHangGuard, done);
}

}  // namespace testsupport
