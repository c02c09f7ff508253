#include "speech/Diarizer/Sortformer/SortformerModels.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/HubFake.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/diar-streaming-sortformer-coreml";
constexpr const char* kBundle = "v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc";

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A loopback hub serving the balanced Sortformer bundle, the registry pointed at it, the models
// root in a temporary folder and the log captured.
class SortformerModelsHubTest : public testing::Test {
 protected:
  void SetUp() override {
    reset();
    AppLogger::setMirrorsToConsole(false);
    bundle_ = testsupport::sortformerBandOracleModel().writeBundle(scratch_.path());
  }

  void TearDown() override {
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(true);
  }

  // The registry on the fake hub, online, and an empty models root.
  void reset() {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    fs::remove_all(root());
  }

  // Serves the bundle's files; `onnx` replaces model.onnx, and `withOnnx` false leaves it out.
  void publish(const std::optional<std::string>& onnx = std::nullopt, bool withOnnx = true) {
    for (const auto& entry : fs::recursive_directory_iterator(bundle_)) {
      if (!entry.is_regular_file()) continue;
      const auto relative = entry.path().lexically_relative(bundle_).string();
      if (relative == "model.onnx" && !withOnnx) continue;
      auto bytes = relative == "model.onnx" && onnx ? *onnx : fileText(entry.path());
      hub_.putFile(kRepo, "main", {std::string(kBundle) + "/" + relative, bytes, relative == "model.onnx"});
    }
  }

  fs::path root() const { return models_.path() / "Models"; }
  fs::path cachedBundle() const { return root() / "sortformer" / kBundle; }

  SortformerModels load(const SortformerConfig& config = SortformerConfig::balancedV2_1(),
                        const ProgressHandler& handler = {}, std::stop_token stop = {}) {
    return SortformerModels::loadFromHuggingFace(config, root(), platform::MLComputeUnits::cpuOnly, handler, stop);
  }

  std::size_t fileRequests() const {
    const auto requests = hub_.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& r) {
      return r.target.find("/resolve/") != std::string::npos;
    }));
  }

  // The loader's own log lines.
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "SortformerModels") out.push_back(record.message);
    }
    return out;
  }

  bool loggedStartingWith(const std::string& prefix) const {
    const auto all = messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder models_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  fs::path bundle_;
};

TEST_F(SortformerModelsHubTest, DownloadsLoadsAndThenUsesTheCache) {
  publish();
  std::mutex mutex;
  std::vector<DownloadProgress> reports;
  const auto models = load(SortformerConfig::balancedV2_1(), [&](const DownloadProgress& progress) {
    std::scoped_lock lock(mutex);
    reports.push_back(progress);
  });

  EXPECT_TRUE(fs::is_regular_file(cachedBundle() / "model.onnx"));
  EXPECT_EQ(models.mainModel->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.embeddedConfig(), (SortformerModels::EmbeddedConfig{6, 1, 7, 188, 188}));
  EXPECT_GT(models.compilationDuration, 0.0);
  const std::vector<float> chunk(112 * 128, testsupport::kSortformerSilentMel);
  EXPECT_EQ(models.runMainModel(chunk, 112, {}, 0, {}, 0, SortformerConfig::balancedV2_1()).chunkLength, 14);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().fractionCompleted, 1.0);

  const auto all = messages();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[0], "Loading Sortformer models from HuggingFace...");
  EXPECT_EQ(all[1], "Downloading Sortformer models from HuggingFace from bundle: v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc...");
  EXPECT_TRUE(all.back().starts_with("Sortformer models loaded from HuggingFace in ")) << all.back();

  const auto requestsAfterFirst = fileRequests();
  EXPECT_GE(requestsAfterFirst, 3u);
  load();
  EXPECT_EQ(fileRequests(), requestsAfterFirst);
}

TEST_F(SortformerModelsHubTest, CorruptFirstDownloadIsPurgedAndFetchedAgain) {
  publish(std::string("garbage, not a network"));
  // The hub holds the good file by the time the loader opens the corrupt one.
  std::atomic<bool> replaced = false;
  const auto models = load(SortformerConfig::balancedV2_1(), [&](const DownloadProgress& progress) {
    if (progress.phase.kind == DownloadPhase::Kind::compiling && !replaced.exchange(true)) publish();
  });

  EXPECT_EQ(fileText(cachedBundle() / "model.onnx"), fileText(bundle_ / "model.onnx"));
  EXPECT_TRUE(loggedStartingWith("First load failed: "));
  const auto all = messages();
  EXPECT_NE(std::find(all.begin(), all.end(),
                      "Deleting v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc and re-downloading\u2026"),
            all.end());
  EXPECT_TRUE(loggedStartingWith("Sortformer models loaded from HuggingFace in "));
}

TEST_F(SortformerModelsHubTest, CorruptAgainGivesTheSecondErrorAfterTheSizeDiagnosis) {
  publish(std::string("garbage, not a network"));
  EXPECT_THROW(load(), platform::MLModelError);
  EXPECT_TRUE(loggedStartingWith("First load failed: "));
  // The diagnosis is model delivery's own line.
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.category == "DownloadUtils" && r.message.find("intact") != std::string::npos;
  }));
}

TEST_F(SortformerModelsHubTest, FailuresOutsideTheCacheKeepIt) {
  struct Case {
    const char* name;
    std::function<void(SortformerModelsHubTest&)> arrange;
    bool stopAtListing;
    const char* logPrefix;
  };
  const Case cases[] = {
      {"cancelled", [](SortformerModelsHubTest&) {}, true, "Load cancelled; preserving model cache. "},
      {"offline", [](SortformerModelsHubTest&) { ModelHub::setOfflineMode(true); }, false,
       "Offline mode: load failed and re-download blocked. "},
      {"unreachableHub", [](SortformerModelsHubTest&) { ModelRegistry::setBaseURL("http://127.0.0.1:9"); },
       false, "Load failed with transient network error; preserving model cache for resume. "},
  };
  publish();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    // An incomplete bundle is cached (no marker file yet); a purge would remove it.
    fs::create_directories(cachedBundle());
    std::ofstream(cachedBundle() / "metadata.json") << "{}";
    c.arrange(*this);
    std::stop_source stop;
    EXPECT_ANY_THROW(load(SortformerConfig::balancedV2_1(),
                          [&](const DownloadProgress&) {
                            if (c.stopAtListing) stop.request_stop();
                          },
                          stop.get_token()));
    EXPECT_EQ(fileText(cachedBundle() / "metadata.json"), "{}");
    EXPECT_TRUE(loggedStartingWith(c.logPrefix));
    EXPECT_FALSE(loggedStartingWith("First load failed: "));
  }
}

TEST_F(SortformerModelsHubTest, BundleWithoutOnnxIsFetchedOnceAndKept) {
  publish(std::nullopt, false);
  EXPECT_THROW(load(), UnsupportedModelFormatError);
  const auto requestsAfterFirst = fileRequests();
  EXPECT_GE(requestsAfterFirst, 1u);
  EXPECT_TRUE(fs::is_regular_file(cachedBundle() / "coremldata.bin"));
  EXPECT_TRUE(loggedStartingWith("Load failed for a reason outside the model cache; preserving it. "));
  EXPECT_FALSE(loggedStartingWith("First load failed: "));

  EXPECT_THROW(load(), UnsupportedModelFormatError);
  EXPECT_EQ(fileRequests(), requestsAfterFirst);
  EXPECT_TRUE(fs::is_regular_file(cachedBundle() / "coremldata.bin"));
}

TEST_F(SortformerModelsHubTest, ConfigurationWithoutVariantFailsBeforeAnyRequest) {
  publish();
  try {
    load(SortformerConfig());
    ADD_FAILURE() << "no error";
  } catch (const SortformerError& error) {
    EXPECT_EQ(error.errorCode(), SortformerError::Code::modelLoadFailed);
    EXPECT_EQ(error.description(), "Failed to load Sortformer model: Unsupported Sortformer configuration");
  }
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_FALSE(fs::exists(root()));
}

}  // namespace
}  // namespace tesselaudio
