#include "platform/lm/SystemLanguageModel.h"

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/net/HttpClient.h"
#include "platform/net/Url.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"

namespace platform {
namespace {

using Reason = SystemLanguageModel::UnavailableReason;
using Availability = SystemLanguageModel::Availability;

// A probe is a small request to a local server: it answers within seconds or not at all.
constexpr double kProbeTimeoutSeconds = 10.0;
constexpr std::int64_t kProbeMaxResponseBytes = 1 << 20;

bool isHttpUrl(const std::string& text) {
  auto url = Url::parse(text);
  return url && (url->scheme() == "http" || url->scheme() == "https") && !url->host().empty();
}

// What holds before any probe: no address, a bad address, or waiting for the first answer.
Availability initialAvailability(const LanguageModelConfiguration& configuration) {
  if (configuration.url.empty()) return Availability::unavailable(Reason::appleIntelligenceNotEnabled);
  if (!isHttpUrl(configuration.url)) return Availability::unavailable(Reason::other);
  return Availability::unavailable(Reason::modelNotReady);
}

}  // namespace

class SystemLanguageModel::Impl {
 public:
  explicit Impl(LanguageModelConfiguration configuration)
      : configuration_(std::move(configuration)),
        probing_(isHttpUrl(configuration_.url)),
        availability_(initialAvailability(configuration_)) {
    if (probing_) prober_ = std::jthread([this](std::stop_token stop) { probeLoop(stop); });
  }

  // The prober's jthread requests its stop and joins before the members it uses go.
  ~Impl() {
    if (prober_.joinable()) {
      prober_.request_stop();
      prober_.join();
    }
  }

  const LanguageModelConfiguration& configuration() const { return configuration_; }

  Availability availability() const {
    std::scoped_lock lock(mutex_);
    return availability_;
  }

  Availability refresh(std::stop_token stop) {
    if (!probing_) return availability();
    const std::uint64_t ticket = nextTicket();
    Availability result = probe(stop);
    std::scoped_lock lock(mutex_);
    store(ticket, result);
    return result;
  }

  void probeAgainSoon() {
    if (!probing_) return;
    {
      std::scoped_lock lock(mutex_);
      probeRequested_ = true;
    }
    wake_.notify_all();
  }

 private:
  void probeLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
      std::uint64_t ticket = 0;
      {
        // Taken before the probe: a request made while it runs asks for one more.
        std::scoped_lock lock(mutex_);
        probeRequested_ = false;
        ticket = ++ticketsIssued_;
      }
      Availability result;
      try {
        result = probe(stop);
      } catch (const CancellationError&) {
        return;
      }
      std::unique_lock lock(mutex_);
      store(ticket, result);
      const auto again = [this] { return probeRequested_; };
      if (availability_.isAvailable()) {
        wake_.wait(lock, stop, again);
      } else {
        wake_.wait_for(lock, stop, std::chrono::duration<double>(configuration_.probeIntervalSeconds),
                       again);
      }
    }
  }

  std::uint64_t nextTicket() {
    std::scoped_lock lock(mutex_);
    return ++ticketsIssued_;
  }

  // A probe that began before the last stored one answers about an older server state: a slow
  // background probe must not undo what a later refresh found.
  void store(std::uint64_t ticket, const Availability& result) {
    if (ticket < storedTicket_) return;
    storedTicket_ = ticket;
    availability_ = result;
  }

  // 503 means the server is still loading its model; any other answer means it can take requests.
  Availability probe(std::stop_token stop) {
    HttpRequest request;
    request.url = *configuration_.modelsUrl();
    request.idleTimeout = kProbeTimeoutSeconds;
    request.overallTimeout = kProbeTimeoutSeconds;
    request.maxResponseBytes = kProbeMaxResponseBytes;
    if (!configuration_.apiKey.empty()) {
      request.headers.set("Authorization", "Bearer " + configuration_.apiKey);
    }
    try {
      auto response = HttpClient::shared().send(request, stop);
      if (response.statusCode == 503) return Availability::unavailable(Reason::modelNotReady);
      return Availability::available();
    } catch (const CancellationError&) {
      throw;
    } catch (const Error&) {
      return Availability::unavailable(Reason::modelNotReady);
    }
  }

  // Constant after construction.
  const LanguageModelConfiguration configuration_;
  const bool probing_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  Availability availability_;
  bool probeRequested_ = false;
  std::uint64_t ticketsIssued_ = 0;
  std::uint64_t storedTicket_ = 0;

  std::jthread prober_;
};

SystemLanguageModel::SystemLanguageModel(LanguageModelConfiguration configuration)
    : impl_(std::make_unique<Impl>(std::move(configuration))) {}

SystemLanguageModel::~SystemLanguageModel() = default;

const LanguageModelConfiguration& SystemLanguageModel::configuration() const {
  return impl_->configuration();
}

SystemLanguageModel::Availability SystemLanguageModel::availability() const {
  return impl_->availability();
}

SystemLanguageModel::Availability SystemLanguageModel::refreshAvailability(std::stop_token stop) {
  return impl_->refresh(std::move(stop));
}

void SystemLanguageModel::probeAgainSoon() { impl_->probeAgainSoon(); }

}  // namespace platform
