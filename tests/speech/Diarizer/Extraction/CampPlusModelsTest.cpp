#include "speech/Diarizer/Extraction/CampPlusModels.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/SystemLog.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/CampPlusModelBuilder.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/campplus-coreml";

// A loopback hub serving the two stand-ins, the models root in a temporary XDG_DATA_HOME and the
// log captured.
class CampPlusModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    AppLogger::setMirrorsToConsole(false);
    if (const char* previous = std::getenv("XDG_DATA_HOME")) previousDataHome_ = previous;
    ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    serve(testsupport::campPlusPreprocessor(), testsupport::campPlusEchoModel());
  }

  void TearDown() override {
    if (previousDataHome_) ::setenv("XDG_DATA_HOME", previousDataHome_->c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
    AppLogger::setMirrorsToConsole(true);
  }

  void serve(const testsupport::ModelBuilder& preprocessor, const testsupport::ModelBuilder& model) {
    const fs::path scratch = scratch_.path() / std::to_string(served_++);
    hub_.putFolder(kRepo, "main", "CamPlusPreprocessor_v2.mlmodelc", preprocessor.writeBundle(scratch));
    hub_.putFolder(kRepo, "main", "CamPlusPlus_v2.mlmodelc", model.writeBundle(scratch));
  }

  fs::path folder() const { return data_.path() / "TesselAudio" / "Models" / "campplus"; }

  // Number of file requests since the last clear.
  std::size_t fileRequests() const {
    const auto requests = hub_.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& request) {
      return request.target.find("/resolve/") != std::string::npos;
    }));
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "CampPlusModels") out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& message) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }

  std::size_t loadedCount() const {
    const auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), "Loaded CAM++ speaker-embedding models"));
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  std::optional<std::string> previousDataHome_;
  int served_ = 0;
};

TEST_F(CampPlusModelsTest, DownloadsIntoTheCampPlusFolderOfTheModelsRoot) {
  const fs::path downloaded = CampPlusModels::download(false);
  EXPECT_EQ(downloaded, folder());
  EXPECT_TRUE(CampPlusModels::modelsExist(folder()));
  EXPECT_GT(fileRequests(), 0u);
  EXPECT_TRUE(logged("Downloading CAM++ models from HuggingFace..."));
}

TEST_F(CampPlusModelsTest, OnlyThePreprocessorIsNotEnough) {
  testsupport::campPlusPreprocessor().writeBundle(folder());
  EXPECT_FALSE(CampPlusModels::modelsExist(folder()));
  testsupport::campPlusEchoModel().writePackage(folder());
  EXPECT_FALSE(CampPlusModels::modelsExist(folder()));

  CampPlusModels::download(false);
  EXPECT_GT(fileRequests(), 0u);
  EXPECT_TRUE(CampPlusModels::modelsExist(folder()));
}

TEST_F(CampPlusModelsTest, PresentModelsCostNoRequest) {
  CampPlusModels::download(false);
  hub_.clearRequests();

  EXPECT_EQ(CampPlusModels::download(false), folder());
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_TRUE(logged("CAM++ models already present at: " + folder().string()));
}

TEST_F(CampPlusModelsTest, ForceRemovesTheFolderAndFetchesAgain) {
  CampPlusModels::download(false);
  const fs::path stray = folder() / "stray.txt";
  { std::ofstream(stray) << "left over"; }
  hub_.clearRequests();

  CampPlusModels::download(true);
  EXPECT_FALSE(fs::exists(stray));
  EXPECT_TRUE(CampPlusModels::modelsExist(folder()));
  EXPECT_GT(fileRequests(), 0u);
  EXPECT_TRUE(logged("Downloading CAM++ models from HuggingFace..."));
}

TEST_F(CampPlusModelsTest, AFailedDownloadPassesTheHubErrorOnAndTheNextCallWorks) {
  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  EXPECT_ANY_THROW(CampPlusModels::download(false));
  EXPECT_FALSE(CampPlusModels::modelsExist(folder()));

  ModelRegistry::setBaseURL(hub_.baseURL());
  EXPECT_NO_THROW(CampPlusModels::download(false));
  EXPECT_TRUE(CampPlusModels::modelsExist(folder()));
}

TEST_F(CampPlusModelsTest, LoadsBothCompiledBundles) {
  const auto models = CampPlusModels::downloadAndLoad();
  ASSERT_TRUE(models.preprocessor);
  ASSERT_TRUE(models.model);
  EXPECT_EQ(models.preprocessor->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.model->configuration().computeUnits, platform::MLComputeUnits::cpuAndGPU);
  EXPECT_TRUE(models.preprocessor->modelDescription().outputDescriptionsByName.contains("features"));
  EXPECT_TRUE(models.model->modelDescription().outputDescriptionsByName.contains("embedding"));
  EXPECT_TRUE(logged("Loaded CAM++ speaker-embedding models"));
}

TEST_F(CampPlusModelsTest, CompilesAnEmbeddingModelGivenOnlyAsPackage) {
  testsupport::campPlusPreprocessor().writeBundle(folder());
  testsupport::campPlusEchoModel().writePackage(folder());
  const auto before = testsupport::folderContents(folder());

  const auto models = CampPlusModels::load(folder());
  EXPECT_TRUE(models.model->modelDescription().outputDescriptionsByName.contains("embedding"));
  EXPECT_EQ(testsupport::folderContents(folder()), before);
}

TEST_F(CampPlusModelsTest, NamesTheMissingModel) {
  struct Case {
    const char* name;
    bool preprocessor, model;
    const char* missing;
  };
  const Case cases[] = {
      {"nothing", false, false, "CamPlusPreprocessor_v2"},
      {"onlyModel", false, true, "CamPlusPreprocessor_v2"},
      {"onlyPreprocessor", true, false, "CamPlusPlus_v2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder());
    fs::create_directories(folder());
    if (c.preprocessor) testsupport::campPlusPreprocessor().writeBundle(folder());
    if (c.model) testsupport::campPlusEchoModel().writeBundle(folder());
    const std::size_t loadedBefore = loadedCount();
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { CampPlusModels::load(folder()); }),
              std::string("ASR processing failed: CAM++ model not found: ") + c.missing);
    EXPECT_EQ(loadedCount(), loadedBefore);
  }
}

TEST_F(CampPlusModelsTest, AHubBundleWithoutNetworkKeepsTheCache) {
  const fs::path scratch = scratch_.path() / "hollow";
  const fs::path hollow = testsupport::campPlusEchoModel().writeBundle(scratch);
  fs::remove(hollow / "model.onnx");
  testsupport::HubFake hollowHub;
  hollowHub.putFolder(kRepo, "main", "CamPlusPreprocessor_v2.mlmodelc",
                      testsupport::campPlusPreprocessor().writeBundle(scratch));
  hollowHub.putFolder(kRepo, "main", "CamPlusPlus_v2.mlmodelc", hollow);
  ModelRegistry::setBaseURL(hollowHub.baseURL());

  const fs::path downloaded = CampPlusModels::download(false);
  const auto before = testsupport::folderContents(downloaded);
  ASSERT_TRUE(before.contains("CamPlusPlus_v2.mlmodelc/coremldata.bin"));
  hollowHub.clearRequests();

  EXPECT_THROW(CampPlusModels::load(downloaded), UnsupportedModelFormatError);
  EXPECT_THROW(CampPlusModels::downloadAndLoad(), UnsupportedModelFormatError);
  EXPECT_EQ(testsupport::folderContents(downloaded), before);
  EXPECT_TRUE(hollowHub.requests().empty());
}

}  // namespace
}  // namespace tesselaudio
