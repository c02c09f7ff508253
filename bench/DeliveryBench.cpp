// Model delivery: how fast a stop reaches the caller of a wait or a transfer.
//
//   BM_RetryPolicyStopLatencyWait      a stop during withRetry's 30 s back-off wait
//   BM_HttpClientStopLatencyRequest    a stop while the server holds its answer
//   BM_FileDownloaderStopLatencyTransfer  a stop while the hub fake trickles a body
//     each reports the mean time from request_stop() until the cancellation reaches the caller as
//     "stop_ms" (targets: under 100 ms for the first two, under 200 ms for the transfer)
//   BM_FileDownloaderDownload256MiB    a 256 MiB file from the hub fake into a partial file,
//     "MiB_per_s" and the peak resident-set growth "peak_rss_growth_MiB" (target: below 16 MiB)
//   BM_CurlBaselineDownload256MiB      the same file with plain libcurl writing to a file, for the
//     throughput the downloader is compared with (target: at least half of it)
//   BM_ModelHubWarmLoadModels          loadModels of 3 cached models of 1 MiB of weights each, with
//     "hub_requests" the requests the hub fake saw meanwhile (target: 0)
//   BM_MLModelDirectLoadThree          the same 3 folders loaded directly (target: the warm load
//     within 1.5× of it)
//   BM_ModelHubSubdirConcurrency       a subdirectory of 16 files of 2 MiB from a hub fake paced to
//     20 MB/s per connection, fetched 4 at a time and then 1 at a time in each iteration; "wide_ms",
//     "narrow_ms" and their "ratio" (target: at most 0.4)

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>

#include "platform/ml/MLModel.h"
#include "platform/net/HttpClient.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/FileDownloader.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ModelBuilder.h"

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

constexpr std::size_t kBigFileBytes = std::size_t{256} << 20;
constexpr const char* kRepo = "org/model";

// The hub fake with one 256 MiB file, made once: its bytes stay resident outside the measurement.
testsupport::HubFake& bigHub() {
  static testsupport::HubFake* hub = [] {
    auto* fake = new testsupport::HubFake(8);
    std::string bytes(kBigFileBytes, '\0');
    for (std::size_t i = 0; i < bytes.size(); i += 4096) bytes[i] = static_cast<char>(i >> 12);
    fake->putFile(kRepo, "main", {"big.bin", std::move(bytes), true});
    fake->putFile(kRepo, "main", {"slow.bin", std::string(1 << 20, 's'), true});
    return fake;
  }();
  return *hub;
}

std::string benchFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr ? tmp : "/tmp");
}

// Resets the kernel's peak resident-set mark so that the next read measures from now.
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

double peakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

double currentRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void BM_FileDownloaderDownload256MiB(benchmark::State& state) {
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  auto& hub = bigHub();
  tesselaudio::ModelRegistry::setBaseURL(hub.baseURL());
  const auto request = tesselaudio::HFClient::authorizedRequest(
      tesselaudio::ModelRegistry::resolveModel(kRepo, "big.bin", "main"), 60);
  const std::filesystem::path partial = benchFolder() + "/delivery-bench-big.partial";
  platform::HttpClient client;
  double growth = 0;
  for (auto _ : state) {
    std::filesystem::remove(partial);
    resetPeakRss();
    const double before = currentRssMiB();
    auto file = tesselaudio::FileDownloader::download(request, "big.bin", kBigFileBytes, partial, {}, 1, 0.01,
                                                      tesselaudio::DownloadConfig::default_(), &client, {});
    growth = std::max(growth, peakRssMiB() - before);
    benchmark::DoNotOptimize(file);
  }
  std::filesystem::remove(partial);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileBytes));
  state.counters["peak_rss_growth_MiB"] = growth;
}
BENCHMARK(BM_FileDownloaderDownload256MiB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlBaselineDownload256MiB(benchmark::State& state) {
  auto& hub = bigHub();
  const std::string url = hub.baseURL() + "/org/model/resolve/main/big.bin";
  const std::string path = benchFolder() + "/delivery-bench-baseline.bin";
  for (auto _ : state) {
    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(path.c_str(), "wb"), &std::fclose);
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, out.get());
    curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
    if (curl_easy_perform(easy.get()) != CURLE_OK) state.SkipWithError("transfer failed");
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileBytes));
}
BENCHMARK(BM_CurlBaselineDownload256MiB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_FileDownloaderStopLatencyTransfer(benchmark::State& state) {
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  auto& hub = bigHub();
  tesselaudio::ModelRegistry::setBaseURL(hub.baseURL());
  const auto request = tesselaudio::HFClient::authorizedRequest(
      tesselaudio::ModelRegistry::resolveModel(kRepo, "slow.bin", "main"), 60);
  const std::filesystem::path partial = benchFolder() + "/delivery-bench-slow.partial";
  platform::HttpClient client;
  double total = 0;
  for (auto _ : state) {
    std::filesystem::remove(partial);
    std::filesystem::remove(partial.string() + ".etag");
    // 100 bytes every 50 ms: the whole megabyte would take about nine minutes.
    hub.failNextRequest(kRepo, "slow.bin", testsupport::HubFake::Fault::trickling(100, 50ms));
    std::promise<void> firstBytes;
    std::once_flag once;
    total += stopLatency(
        [&](std::stop_token stop) {
          try {
            tesselaudio::FileDownloader::download(
                request, "slow.bin", 1 << 20, partial,
                [&](std::int64_t, std::int64_t) { std::call_once(once, [&] { firstBytes.set_value(); }); }, 1, 0.01,
                tesselaudio::DownloadConfig::default_(), &client, stop);
          } catch (const std::exception& error) {
            if (!tesselaudio::RetryPolicy::isCancellation(error)) throw;
          }
        },
        [&] { firstBytes.get_future().wait(); });
  }
  std::filesystem::remove(partial);
  std::filesystem::remove(partial.string() + ".etag");
  state.counters["stop_ms"] = benchmark::Counter(total * 1000 / state.iterations());
}
BENCHMARK(BM_FileDownloaderStopLatencyTransfer)->Iterations(5)->UseRealTime();

// Three cached compiled models of 1 MiB of weights each (a 512 × 512 float matrix product) in
// the sortformer folder of a fresh models root, with the registry pointed at a hub fake that must
// see no request while the cache is complete.
class WarmModelCache {
 public:
  static WarmModelCache& shared() {
    static WarmModelCache cache;
    return cache;
  }

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path repositoryFolder() const { return root_ / "sortformer"; }
  const std::vector<std::string>& names() const { return names_; }
  testsupport::HubFake& hub() { return hub_; }

 private:
  WarmModelCache() : root_(benchFolder() + "/delivery-bench-models") {
    tesselaudio::AppLogger::setMirrorsToConsole(false);
    tesselaudio::ModelRegistry::setBaseURL(hub_.baseURL());
    std::filesystem::remove_all(root_);
    std::vector<double> weights(512 * 512);
    for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<double>(i % 17) / 17.0;
    for (const std::string& name : names_) {
      testsupport::ModelBuilder(name.substr(0, name.find('.')))
          .input("x", testsupport::ElementType::float32, {1, 512})
          .output("y", testsupport::ElementType::float32, {1, 512})
          .initializer("w", {testsupport::ElementType::float32, {512, 512}, weights})
          .node("MatMul", {"x", "w"}, {"y"})
          .writeBundle(repositoryFolder());
    }
  }

  std::filesystem::path root_;
  std::vector<std::string> names_{"EncoderA.mlmodelc", "EncoderB.mlmodelc", "EncoderC.mlmodelc"};
  testsupport::HubFake hub_;
};

// loadModels on a complete cache: the cache check, the layout checks and the three loads.
// "hub_requests" counts what the hub fake saw meanwhile (target: 0).
void BM_ModelHubWarmLoadModels(benchmark::State& state) {
  auto& cache = WarmModelCache::shared();
  cache.hub().clearRequests();
  for (auto _ : state) {
    auto models = tesselaudio::ModelHub::loadModels(tesselaudio::Repo::sortformer, cache.names(), cache.root(),
                                                    platform::MLComputeUnits::cpuOnly, cache.names().front());
    benchmark::DoNotOptimize(models);
  }
  state.counters["hub_requests"] = static_cast<double>(cache.hub().requests().size());
}
BENCHMARK(BM_ModelHubWarmLoadModels)->UseRealTime()->Unit(benchmark::kMillisecond);

// The baseline: the same three folders loaded directly (target: the warm load within 1.5× of it).
void BM_MLModelDirectLoadThree(benchmark::State& state) {
  auto& cache = WarmModelCache::shared();
  for (auto _ : state) {
    for (const std::string& name : cache.names()) {
      auto model = std::make_shared<platform::MLModel>(cache.repositoryFolder() / name);
      benchmark::DoNotOptimize(model);
    }
  }
}
BENCHMARK(BM_MLModelDirectLoadThree)->UseRealTime()->Unit(benchmark::kMillisecond);

// The subdirectory download's window against the hub's per-connection speed: the same 16 files
// fetched 4 at a time and 1 at a time, into fresh folders, in every iteration.
void BM_ModelHubSubdirConcurrency(benchmark::State& state) {
  constexpr std::size_t kFiles = 16;
  constexpr std::size_t kFileBytes = 2 * 1024 * 1024;
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  testsupport::HubFake hub;
  hub.setBytesPerSecond(20e6);
  const std::string repo = tesselaudio::Repo(tesselaudio::Repo::sortformer).remotePath();
  for (std::size_t i = 0; i < kFiles; ++i) {
    hub.putFile(repo, "main", {"voices/v" + std::to_string(i) + ".bin", std::string(kFileBytes, static_cast<char>('a' + i)), true});
  }
  tesselaudio::ModelRegistry::setBaseURL(hub.baseURL());
  const std::filesystem::path root = benchFolder() + "/delivery-bench-subdir";

  const auto fetch = [&](std::int64_t window) {
    std::filesystem::remove_all(root);
    tesselaudio::DownloadConfig config;
    config.maxConcurrentFiles = window;
    const auto start = Clock::now();
    tesselaudio::ModelHub::download(tesselaudio::Repo::sortformer, "voices", root, config, {}, {}, {});
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  double wide = 0;
  double narrow = 0;
  for (auto _ : state) {
    wide += fetch(4);
    narrow += fetch(1);
  }
  std::filesystem::remove_all(root);
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["wide_ms"] = wide / iterations;
  state.counters["narrow_ms"] = narrow / iterations;
  state.counters["ratio"] = wide / narrow;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kFiles * kFileBytes));
}
BENCHMARK(BM_ModelHubSubdirConcurrency)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
