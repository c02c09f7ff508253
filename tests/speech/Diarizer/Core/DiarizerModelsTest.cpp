#include "speech/Diarizer/Core/DiarizerModels.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/Shared/Repo.h"
#include "tests/support/DiarizerModelBuilder.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

constexpr const char* kRepo = "TesselInference/speaker-diarization-coreml";
constexpr const char* kSegmentationOnnx = "pyannote_segmentation.mlmodelc/model.onnx";

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file below `folder` with its bytes; empty when there is no folder.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> out;
  if (!fs::exists(folder)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) out[entry.path().lexically_relative(folder).string()] = fileText(entry.path());
  }
  return out;
}

// Sets or unsets an environment variable for the test's lifetime.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* previous = std::getenv(name)) previous_ = previous;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~ScopedEnvironment() {
    if (previous_) ::setenv(name_, previous_->c_str(), 1);
    else ::unsetenv(name_);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

// The loopback hub serving both stand-ins, XDG_DATA_HOME in a temporary folder and the log captured.
class DiarizerModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    AppLogger::setMirrorsToConsole(false);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    segmentationBundle_ = testsupport::dcSegmentationModel().writeBundle(scratch_.path());
    embeddingBundle_ = testsupport::levelEmbeddingModel().writeBundle(scratch_.path());
  }

  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  // Serves both bundles; without `withOnnx` as the public hub does, with coremldata.bin only.
  void publish(bool withOnnx = true) {
    for (const auto& bundle : {segmentationBundle_, embeddingBundle_}) {
      for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
        const auto relative = entry.path().lexically_relative(bundle).string();
        if (!entry.is_regular_file() || (relative == "model.onnx" && !withOnnx)) continue;
        hub_.putFile(kRepo, Repo(Repo::diarizer).revision(),
                     {bundle.filename().string() + "/" + relative, fileText(entry.path()), relative == "model.onnx"});
      }
    }
  }

  fs::path folder() const { return data_.path() / "TesselAudio" / "Models" / "speaker-diarization"; }

  std::size_t fileRequests(const std::string& ending = "") const {
    const auto requests = hub_.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [&](const auto& request) {
      return request.target.find("/resolve/") != std::string::npos && request.target.ends_with(ending);
    }));
  }

  bool logged(const std::string& category, const std::string& message) const {
    const auto records = log_.records();
    return std::any_of(records.begin(), records.end(), [&](const auto& record) {
      return record.category == category && record.message == message;
    });
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  ScopedEnvironment dataHome_{"XDG_DATA_HOME", data_.path().string()};
  ScopedEnvironment ci_{"CI", std::nullopt};
  fs::path segmentationBundle_;
  fs::path embeddingBundle_;
};

TEST_F(DiarizerModelsTest, NamesFolderAndDefaultConfiguration) {
  EXPECT_EQ(DiarizerModels::requiredModelNames(),
            (std::set<std::string>{"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"}));
  EXPECT_EQ(DiarizerModels::defaultModelsDirectory(), folder());

  struct Case {
    const char* name;
    std::optional<std::string> ci;
    MLComputeUnits computeUnits;
  };
  const Case cases[] = {
      {"no CI", std::nullopt, MLComputeUnits::all},
      {"CI=true", "true", MLComputeUnits::cpuAndNeuralEngine},
      {"CI empty", "", MLComputeUnits::cpuAndNeuralEngine},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnvironment ci("CI", c.ci);
    const auto configuration = DiarizerModels::defaultConfiguration();
    EXPECT_EQ(configuration.computeUnits, c.computeUnits);
    EXPECT_TRUE(configuration.allowLowPrecisionAccumulationOnGPU);
  }
}

TEST_F(DiarizerModelsTest, EveryEntryPointDownloadsIntoTheModelsRootAndThenUsesTheCache) {
  struct Case {
    const char* name;
    std::function<DiarizerModels(const ProgressHandler&)> load;
  };
  const Case cases[] = {
      {"download", [](const ProgressHandler& p) { return DiarizerModels::download(std::nullopt, std::nullopt, p); }},
      {"downloadIfNeeded",
       [](const ProgressHandler& p) { return DiarizerModels::downloadIfNeeded(std::nullopt, std::nullopt, p); }},
      {"load(from:)", [](const ProgressHandler& p) { return DiarizerModels::load(std::nullopt, std::nullopt, p); }},
  };
  publish();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder());
    hub_.clearRequests();
    double lastFraction = -1;
    const auto models = c.load([&](const DownloadProgress& progress) { lastFraction = progress.fractionCompleted; });

    EXPECT_TRUE(fs::is_regular_file(folder() / "pyannote_segmentation.mlmodelc" / "model.onnx"));
    EXPECT_TRUE(fs::is_regular_file(folder() / "wespeaker_v2.mlmodelc" / "model.onnx"));
    ASSERT_NE(models.segmentationModel, nullptr);
    ASSERT_NE(models.embeddingModel, nullptr);
    EXPECT_TRUE(models.segmentationModel->modelDescription().outputDescriptionsByName.contains("segments"));
    EXPECT_TRUE(models.embeddingModel->modelDescription().outputDescriptionsByName.contains("embedding"));
    EXPECT_EQ(models.segmentationModel->configuration().computeUnits, MLComputeUnits::all);
    EXPECT_GT(models.compilationDuration, 0.0);
    EXPECT_EQ(lastFraction, 1.0);
    EXPECT_GT(fileRequests(), 0u);

    hub_.clearRequests();
    const auto warm = c.load({});
    EXPECT_NE(warm.segmentationModel, nullptr);
    EXPECT_EQ(hub_.requests().size(), 0u);
  }
  EXPECT_TRUE(logged("DiarizerModels", "Checking for diarizer models..."));
}

TEST_F(DiarizerModelsTest, GivenFolderAndConfigurationAreUsed) {
  publish();
  const fs::path root = data_.path() / "elsewhere";
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = MLComputeUnits::cpuOnly;

  const auto models = DiarizerModels::download(root / "speaker-diarization", configuration);

  EXPECT_TRUE(fs::is_regular_file(root / "speaker-diarization" / kSegmentationOnnx));
  EXPECT_FALSE(fs::exists(folder()));
  EXPECT_EQ(models.segmentationModel->configuration().computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.embeddingModel->configuration().computeUnits, MLComputeUnits::cpuOnly);
}

TEST_F(DiarizerModelsTest, LocalFilesLoadWithoutTheHub) {
  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = MLComputeUnits::cpuAndGPU;

  const auto models = DiarizerModels::load(segmentationBundle_, embeddingBundle_, configuration);

  EXPECT_EQ(models.segmentationModel->configuration().computeUnits, MLComputeUnits::cpuAndGPU);
  EXPECT_TRUE(models.embeddingModel->modelDescription().inputDescriptionsByName.contains("mask"));
  EXPECT_GT(models.compilationDuration, 0.0);
  EXPECT_TRUE(logged("DiarizerModels", "Loading predownloaded models"));
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(DiarizerModelsTest, LocalLoadFailsLikeEveryOtherModelLoad) {
  const fs::path withoutOnnx = scratch_.path() / "bare" / "wespeaker_v2.mlmodelc";
  fs::create_directories(withoutOnnx);
  std::ofstream(withoutOnnx / "coremldata.bin") << "core ml";
  const fs::path missing = scratch_.path() / "missing.mlmodelc";

  EXPECT_THROW(DiarizerModels::load(missing, embeddingBundle_), platform::MLModelError);
  EXPECT_THROW(DiarizerModels::load(segmentationBundle_, withoutOnnx), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(withoutOnnx / "coremldata.bin"));
}

TEST_F(DiarizerModelsTest, CorruptCachedNetworkIsDeletedAndFetchedOnceMore) {
  publish();
  DiarizerModels::download();
  std::ofstream(folder() / kSegmentationOnnx, std::ios::trunc) << "garbage, not a network";
  hub_.clearRequests();

  const auto models = DiarizerModels::download();

  EXPECT_NE(models.segmentationModel, nullptr);
  EXPECT_EQ(fileRequests(kSegmentationOnnx), 1u);
  EXPECT_EQ(fileText(folder() / kSegmentationOnnx), fileText(segmentationBundle_ / "model.onnx"));
}

TEST_F(DiarizerModelsTest, StoppedLoadLeavesTheCacheAsItWas) {
  publish();
  // A warm load reports no progress, so there the stop comes first.
  struct Case {
    const char* name;
    bool warm;
  };
  for (const Case& c : {Case{"empty cache, stop at the listing", false}, Case{"complete cache, stopped before", true}}) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data_.path() / "TesselAudio");
    if (c.warm) DiarizerModels::download();
    const auto before = snapshot(data_.path());
    std::stop_source stop;
    if (c.warm) stop.request_stop();

    EXPECT_THROW(DiarizerModels::download(std::nullopt, std::nullopt,
                                          [&](const DownloadProgress&) { stop.request_stop(); }, stop.get_token()),
                 platform::CancellationError);
    EXPECT_EQ(snapshot(data_.path()), before);
  }
}

TEST_F(DiarizerModelsTest, BundlesWithoutNetworkAreKeptAndNotFetchedAgain) {
  publish(false);
  EXPECT_THROW(DiarizerModels::download(), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::is_regular_file(folder() / "pyannote_segmentation.mlmodelc" / "coremldata.bin"));
  EXPECT_TRUE(fs::is_regular_file(folder() / "wespeaker_v2.mlmodelc" / "coremldata.bin"));
  const auto cached = snapshot(folder());
  hub_.clearRequests();

  EXPECT_THROW(DiarizerModels::download(), UnsupportedModelFormatError);
  EXPECT_EQ(fileRequests(), 0u);
  EXPECT_EQ(snapshot(folder()), cached);
}

}  // namespace
}  // namespace tesselaudio
