// Model delivery: how fast a stop reaches the caller of a wait or a transfer.
//
//   BM_RetryPolicyStopLatencyWait     a stop during withRetry's 30 s back-off wait
//   BM_HttpClientStopLatencyRequest   a stop while the server holds its answer
//
// Each reports the mean time from request_stop() until CancellationError reaches the caller as the
// counter "stop_ms" (target: under 100 ms).

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "platform/net/HttpClient.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "tests/support/LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Starts `work` with a fresh stop token, waits until `ready` says it is blocked, stops it and
// returns the seconds until it ended with CancellationError.
template <class Work, class Ready>
double stopLatency(Work&& work, Ready&& ready) {
  std::stop_source stop;
  std::promise<Clock::time_point> ended;
  std::thread worker([&] {
    try {
      work(stop.get_token());
    } catch (const platform::CancellationError&) {
    }
    ended.set_value(Clock::now());
  });
  ready();
  const auto requested = Clock::now();
  stop.request_stop();
  const auto at = ended.get_future().get();
  worker.join();
  return std::chrono::duration<double>(at - requested).count();
}

void BM_RetryPolicyStopLatencyWait(benchmark::State& state) {
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  const tesselaudio::AppLogger logger("DownloadUtils");
  double total = 0;
  for (auto _ : state) {
    std::promise<void> failedOnce;
    total += stopLatency(
        [&](std::stop_token stop) {
          tesselaudio::RetryPolicy::withRetry(
              "bench", 2, 30.0, logger,
              [&](int) -> void {
                failedOnce.set_value();
                throw tesselaudio::DownloadError::stalled("bench", 1);
              },
              stop);
        },
        [&] {
          failedOnce.get_future().wait();
          std::this_thread::sleep_for(5ms);  // let the loop enter its wait
        });
  }
  state.counters["stop_ms"] = benchmark::Counter(total * 1000 / state.iterations());
}
BENCHMARK(BM_RetryPolicyStopLatencyWait)->Iterations(20)->UseRealTime();

void BM_HttpClientStopLatencyRequest(benchmark::State& state) {
  testsupport::LoopbackServer server;
  std::mutex mutex;
  std::condition_variable changed;
  int held = 0;
  bool closing = false;
  server.server().Get("/held", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock lock(mutex);
    ++held;
    changed.notify_all();
    changed.wait_for(lock, 30s, [&] { return closing; });
    res.set_content("late", "text/plain");
  });
  platform::HttpClient client;
  platform::HttpRequest request;
  request.url = server.url("/held");
  request.idleTimeout = 60;
  double total = 0;
  for (auto _ : state) {
    int before = 0;
    {
      std::scoped_lock lock(mutex);
      before = held;
    }
    total += stopLatency([&](std::stop_token stop) { client.send(request, stop); },
                         [&] {
                           std::unique_lock lock(mutex);
                           changed.wait(lock, [&] { return held > before; });
                         });
  }
  {
    std::scoped_lock lock(mutex);
    closing = true;
    changed.notify_all();
  }
  state.counters["stop_ms"] = benchmark::Counter(total * 1000 / state.iterations());
}
BENCHMARK(BM_HttpClientStopLatencyRequest)->Iterations(5)->UseRealTime();

}  // namespace
