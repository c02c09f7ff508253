#pragma once

#include <memory>
#include <optional>
#include <stop_token>

#include "platform/lm/LanguageModelConfiguration.h"

namespace platform {

// The language model of the process: a local OpenAI-compatible chat-completions server. Whether it
// can answer is probed in the background (GET /v1/models) so that availability() never blocks:
// until the first probe answers it reads as modelNotReady, and while the model is unavailable the
// probe repeats every probeIntervalSeconds. Safe from any thread.
//
//   auto model = std::make_shared<platform::SystemLanguageModel>(
//       platform::LanguageModelConfiguration::fromEnvironment(settings));
//   if (model->availability().isAvailable()) { ... LanguageModelSession(model, instructions) ... }
class SystemLanguageModel {
 public:
  enum class UnavailableReason { deviceNotEligible, appleIntelligenceNotEnabled, modelNotReady, other };

  // Available, or unavailable for a reason. A value type.
  struct Availability {
    std::optional<UnavailableReason> unavailableReason;

    bool isAvailable() const { return !unavailableReason; }
    static Availability available() { return {}; }
    static Availability unavailable(UnavailableReason reason) { return {reason}; }
    bool operator==(const Availability&) const = default;
  };

  // Starts the background probe when the address is an http(s) URL. No address configured reads as
  // appleIntelligenceNotEnabled and makes no request; an address that is not an http(s) URL as other.
  explicit SystemLanguageModel(LanguageModelConfiguration configuration);
  // Stops the probe, aborting one in flight.
  ~SystemLanguageModel();

  SystemLanguageModel(const SystemLanguageModel&) = delete;
  SystemLanguageModel& operator=(const SystemLanguageModel&) = delete;

  const LanguageModelConfiguration& configuration() const;

  // The last known availability. Returns at once.
  Availability availability() const;

  // Probes the server on the calling thread, stores and returns the result. Blocks for the probe.
  Availability refreshAvailability(std::stop_token stop = {});

  // Asks the background probe to look again now (after a request failed in transport).
  void probeAgainSoon();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
