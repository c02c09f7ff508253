#include "speech/VAD/VadManager.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/Environment.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VadModelBuilder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/silero-vad-coreml";
constexpr const char* kBundle = "silero-vad-unified-256ms-v6.2.1.mlmodelc";

// A loopback hub serving the echo stand-in, the registry pointed at it, the user's data folder
// (and so the default models root) in a temporary folder, and the log captured.
class VadManagerLoadingTest : public testing::Test {
 protected:
  void SetUp() override {
    previousData_ = platform::Environment::value("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
    bundle_ = testsupport::vadEchoModel().writeBundle(scratch_.path());
  }

  void TearDown() override {
    AppLogger::setMirrorsToConsole(true);
    if (previousData_) {
      ::setenv("XDG_DATA_HOME", previousData_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
  }

  void publish() { hub_.putFolder(kRepo, "main", kBundle, bundle_); }

  fs::path root() const { return data_.path() / "TesselAudio" / "Models"; }

  std::size_t fileRequests(const std::string& suffix = "") const {
    const auto requests = hub_.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [&](const auto& r) {
      return r.target.find("/resolve/") != std::string::npos && r.target.ends_with(suffix);
    }));
  }

  std::vector<std::string> lines(const std::string& category) const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == category) out.push_back(record.message);
    }
    return out;
  }

  std::size_t countStartingWith(const std::string& category, const std::string& prefix) const {
    const auto all = lines(category);
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); }));
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  std::optional<std::string> previousData_;
  fs::path bundle_;
};

TEST_F(VadManagerLoadingTest, DownloadsIntoTheModelsRootAndReportsTheTime) {
  publish();
  ASSERT_EQ(MLModelConfigurationUtils::defaultModelsDirectory(), root());
  VadManager vad;

  EXPECT_TRUE(vad.isAvailable());
  EXPECT_TRUE(fs::is_regular_file(root() / "silero-vad" / kBundle / "model.onnx"));
  const auto vadLines = lines("VadManager");
  EXPECT_NE(std::find(vadLines.begin(), vadLines.end(), "VAD model loaded successfully"), vadLines.end());
  const std::regex initialized(R"(VAD system initialized in \d+\.\d\ds)");
  EXPECT_TRUE(std::any_of(vadLines.begin(), vadLines.end(),
                          [&](const std::string& line) { return std::regex_match(line, initialized); }));
  EXPECT_FLOAT_EQ(vad.processChunk(std::vector<float>(4096, 0.4f)).probability, 0.4f);

  hub_.clearRequests();
  VadManager second(VadConfig::default_());
  EXPECT_TRUE(second.isAvailable());
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(VadManagerLoadingTest, DamagedModelIsPurgedFetchedOnceMoreAndLoaded) {
  publish();
  hub_.putFile(kRepo, "main", {std::string(kBundle) + "/model.onnx", "not a network", true});
  // Once the damaged copy is on disk and about to load, the hub serves the real one.
  std::atomic<bool> mended = false;
  const auto mend = [&](const DownloadProgress& progress) {
    if (progress.phase.kind == DownloadPhase::Kind::compiling && !mended.exchange(true)) publish();
  };
  VadManager vad(VadConfig::default_(), mend);

  EXPECT_TRUE(vad.isAvailable());
  EXPECT_EQ(countStartingWith("DownloadUtils", "First load failed: "), 1u);
  EXPECT_EQ(countStartingWith("DownloadUtils", std::string("Deleting ") + kBundle + " and re-downloading"), 1u);
  EXPECT_EQ(fileRequests("/model.onnx"), 2u);
}

TEST_F(VadManagerLoadingTest, CachedBundleWithoutItsNetworkIsKept) {
  fs::remove(bundle_ / "model.onnx");
  publish();
  EXPECT_THROW(VadManager{VadConfig::default_()}, UnsupportedModelFormatError);
  const auto cached = root() / "silero-vad" / kBundle;
  EXPECT_TRUE(fs::exists(cached / "coremldata.bin"));
  EXPECT_EQ(countStartingWith("DownloadUtils", "Deleting "), 0u);

  hub_.clearRequests();
  EXPECT_THROW(VadManager{VadConfig::default_()}, UnsupportedModelFormatError);
  EXPECT_EQ(fileRequests(), 0u);
  EXPECT_TRUE(fs::exists(cached / "coremldata.bin"));
}

TEST_F(VadManagerLoadingTest, GivenFolderHoldsTheModelsBelowModels) {
  publish();
  testsupport::TemporaryFolder elsewhere;
  VadManager vad(VadConfig::default_(), elsewhere.path());
  EXPECT_TRUE(vad.isAvailable());
  EXPECT_TRUE(fs::is_regular_file(elsewhere.path() / "Models" / "silero-vad" / kBundle / "model.onnx"));
  EXPECT_FALSE(fs::exists(root()));
}

TEST_F(VadManagerLoadingTest, ProvidedModelIsTakenAsItIs) {
  VadConfig config;
  config.defaultThreshold = 0.5f;
  config.debugMode = true;
  VadManager vad(config, testsupport::loadVadEchoModel(scratch_.path() / "given"));
  EXPECT_TRUE(vad.isAvailable());
  EXPECT_EQ(vad.currentConfig(), config);
  const auto vadLines = lines("VadManager");
  EXPECT_EQ(vadLines, std::vector<std::string>{"VAD initialized with provided model"});
  EXPECT_TRUE(hub_.requests().empty());
}

}  // namespace
}  // namespace tesselaudio
