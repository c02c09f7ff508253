#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/lm/LanguageModelConfiguration.h"
#include "tests/support/LoopbackServer.h"

namespace testsupport {

// An OpenAI-compatible chat-completions server on loopback, standing in for the language model.
// POST /v1/chat/completions answers what the script returns for each request (chosen by its system
// or user message); GET /v1/models answers the probe status. Every completion request is recorded.
// Answers may be held until release() (or the fake's end). Safe from any thread.
class LanguageModelFake {
 public:
  struct Request {
    std::string system;         // the system message
    std::string user;           // the user message
    std::string body;           // the request body as sent
    std::string authorization;  // the Authorization header, or empty
  };

  struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    bool held = false;  // waits for release() before answering
  };

  using Script = std::function<Answer(const Request&)>;

  LanguageModelFake();
  ~LanguageModelFake();

  LanguageModelFake(const LanguageModelFake&) = delete;
  LanguageModelFake& operator=(const LanguageModelFake&) = delete;

  // A completion whose message content is `contentJson`, finished for `finishReason`.
  static Answer content(const std::string& contentJson, const std::string& finishReason = "stop");
  // A completion whose message refuses with `text`.
  static Answer refusal(const std::string& text);
  // An error answer {"error":{"message":…,"type":…}} with `status`.
  static Answer error(int status, const std::string& message, const std::string& type = "");

  // Replaces the script; by default every request gets {"items":[]}.
  void setScript(Script script);
  // The status of GET /v1/models (200 by default); `held` holds it until release().
  void setProbeAnswer(int status, bool held = false);
  // Lets every held answer go, now and from now on.
  void release();

  std::vector<Request> requests() const;
  std::size_t probeCount() const;
  // Waits (up to a few seconds) until `count` completion requests or probes have arrived.
  bool waitForRequests(std::size_t count);
  bool waitForProbes(std::size_t count);

  // "http://127.0.0.1:<port>".
  std::string url() const { return server_.url(); }
  // A configuration naming this server, with short probe intervals for tests.
  platform::LanguageModelConfiguration configuration() const;

 private:
  void holdIfAsked(bool held);
  bool waitFor(const std::function<bool()>& done);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Script script_;
  int probeStatus_ = 200;
  bool probeHeld_ = false;
  bool released_ = false;
  std::vector<Request> requests_;
  std::size_t probes_ = 0;
  LoopbackServer server_;  // last: its threads stop before the state above goes
};

}  // namespace testsupport
