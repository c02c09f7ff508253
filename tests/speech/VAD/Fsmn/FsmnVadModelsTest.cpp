#include "speech/VAD/Fsmn/FsmnVadModels.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLComputeUnits.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/VAD/Fsmn/FsmnVadManager.h"
#include "tests/support/FsmnVadModelBuilder.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/fsmn-vad-coreml";

// Samples whose frames all have silence probability `p` under the stand-ins.
std::vector<float> level(float p, std::size_t samples) { return std::vector<float>(samples, p / 32768.0f); }

void restore(const char* name, const std::optional<std::string>& previous) {
  if (previous) ::setenv(name, previous->c_str(), 1);
  else ::unsetenv(name);
}

std::optional<std::string> current(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// A loopback hub serving the two stand-ins, the models root in a temporary XDG_DATA_HOME and the
// log captured.
class FsmnVadModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    AppLogger::setMirrorsToConsole(false);
    previousDataHome_ = current("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    const fs::path scratch = scratch_.path() / "served";
    hub_.putFolder(kRepo, "main", "FsmnVadPreprocessor.mlmodelc",
                   testsupport::fsmnVadPreprocessor().writeBundle(scratch));
    hub_.putFolder(kRepo, "main", "FsmnVad.mlmodelc", testsupport::fsmnVadScorer().writeBundle(scratch));
  }

  void TearDown() override {
    restore("XDG_DATA_HOME", previousDataHome_);
    AppLogger::setMirrorsToConsole(true);
  }

  fs::path root() const { return data_.path() / "TesselAudio" / "Models"; }
  fs::path folder() const { return root() / "fsmn-vad"; }

  enum class Form { absent, compiled, package };

  // Empties the models folder and puts each model there in the given form.
  void place(Form preprocessor, Form scorer) const {
    fs::remove_all(folder());
    fs::create_directories(folder());
    write(testsupport::fsmnVadPreprocessor(), preprocessor);
    write(testsupport::fsmnVadScorer(), scorer);
  }

  void write(const testsupport::ModelBuilder& model, Form form) const {
    if (form == Form::compiled) model.writeBundle(folder());
    if (form == Form::package) model.writePackage(folder());
  }

  std::size_t fileRequests() const {
    const auto requests = hub_.requests();
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const auto& request) {
      return request.target.find("/resolve/") != std::string::npos;
    }));
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "FsmnVadModels") out.push_back(record.message);
    }
    return out;
  }

  std::size_t logged(const std::string& message) const {
    const auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  std::optional<std::string> previousDataHome_;
};

TEST_F(FsmnVadModelsTest, DownloadFillsTheFsmnVadFolderOfTheModelsRoot) {
  EXPECT_EQ(FsmnVadModels::download(false), folder());
  EXPECT_TRUE(fs::is_regular_file(folder() / "FsmnVadPreprocessor.mlmodelc" / "model.onnx"));
  EXPECT_TRUE(fs::is_regular_file(folder() / "FsmnVad.mlmodelc" / "model.onnx"));
  EXPECT_GT(fileRequests(), 0u);
  EXPECT_EQ(logged("Downloading FSMN-VAD models from HuggingFace..."), 1u);
}

TEST_F(FsmnVadModelsTest, PresentModelsCostNoRequest) {
  place(Form::compiled, Form::compiled);
  EXPECT_EQ(FsmnVadModels::download(false), folder());
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_EQ(logged("FSMN-VAD models already present at: " + folder().string()), 1u);
  EXPECT_EQ(logged("Downloading FSMN-VAD models from HuggingFace..."), 0u);
}

TEST_F(FsmnVadModelsTest, ForceRemovesTheFolderAndDownloadsAgain) {
  place(Form::compiled, Form::compiled);
  const fs::path stray = folder() / "stray.txt";
  { std::ofstream(stray) << "left over"; }

  EXPECT_EQ(FsmnVadModels::download(true), folder());
  EXPECT_FALSE(fs::exists(stray));
  EXPECT_TRUE(FsmnVadModels::modelsExist(folder()));
  EXPECT_GT(fileRequests(), 0u);
  EXPECT_EQ(logged("Downloading FSMN-VAD models from HuggingFace..."), 1u);
}

TEST_F(FsmnVadModelsTest, OnlyBothCompiledModelsCountAsPresent) {
  struct Case {
    const char* name;
    Form preprocessor, scorer;
  };
  const Case cases[] = {
      {"nothing", Form::absent, Form::absent},
      {"onlyThePreprocessor", Form::compiled, Form::absent},
      {"onlyTheScorer", Form::absent, Form::compiled},
      {"packagesOnly", Form::package, Form::package},
      {"bothCompiled", Form::compiled, Form::compiled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    place(c.preprocessor, c.scorer);
    const bool both = c.preprocessor == Form::compiled && c.scorer == Form::compiled;
    EXPECT_EQ(FsmnVadModels::modelsExist(folder()), both);

    hub_.clearRequests();
    FsmnVadModels::download(false);
    EXPECT_EQ(fileRequests() > 0, !both);
    EXPECT_TRUE(FsmnVadModels::modelsExist(folder()));
  }
}

TEST_F(FsmnVadModelsTest, AFailedDownloadPassesTheHubErrorOn) {
  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  EXPECT_ANY_THROW(FsmnVadModels::downloadAndLoad());
  EXPECT_FALSE(FsmnVadModels::modelsExist(folder()));
  EXPECT_EQ(logged("Loaded FSMN-VAD models"), 0u);
}

TEST_F(FsmnVadModelsTest, LoadsTheCompiledModelsWithTheirComputeUnits) {
  const auto models = FsmnVadModels::downloadAndLoad();
  ASSERT_TRUE(models.preprocessor);
  ASSERT_TRUE(models.scorer);
  EXPECT_EQ(models.preprocessor->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.scorer->configuration().computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_TRUE(models.preprocessor->modelDescription().outputDescriptionsByName.contains("features"));
  EXPECT_TRUE(models.scorer->modelDescription().outputDescriptionsByName.contains("scores"));
  EXPECT_EQ(logged("Loaded FSMN-VAD models"), 1u);
}

TEST_F(FsmnVadModelsTest, CompilesPackagesAndLeavesNothingBehind) {
  testsupport::TemporaryFolder temporary;
  const auto previousTemporary = current("TMPDIR");
  ::setenv("TMPDIR", temporary.path().c_str(), 1);
  place(Form::package, Form::package);
  const auto before = testsupport::folderContents(folder());
  {
    const auto models = FsmnVadModels::load(folder());
    EXPECT_EQ(models.preprocessor->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
    EXPECT_EQ(models.scorer->configuration().computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
    FsmnVadManager vad(models);
    EXPECT_EQ(vad.detect(level(0.1f, 16000)), (std::vector<FsmnVadSegment>{{0, 1000}}));
  }
  restore("TMPDIR", previousTemporary);
  EXPECT_EQ(testsupport::folderContents(folder()), before);
  EXPECT_TRUE(fs::is_empty(temporary.path()));
  EXPECT_EQ(logged("Loaded FSMN-VAD models"), 1u);
}

TEST_F(FsmnVadModelsTest, NamesTheMissingModel) {
  struct Case {
    const char* name;
    Form preprocessor, scorer;
    const char* missing;
  };
  const Case cases[] = {
      {"nothing", Form::absent, Form::absent, "FsmnVadPreprocessor"},
      {"onlyTheScorer", Form::absent, Form::package, "FsmnVadPreprocessor"},
      {"onlyThePreprocessor", Form::compiled, Form::absent, "FsmnVad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    place(c.preprocessor, c.scorer);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { FsmnVadModels::load(folder()); }),
              std::string("ASR processing failed: FSMN-VAD model not found: ") + c.missing);
  }
  EXPECT_EQ(logged("Loaded FSMN-VAD models"), 0u);
}

TEST_F(FsmnVadModelsTest, ACachedBundleWithoutItsNetworkFailsAndStays) {
  place(Form::compiled, Form::compiled);
  fs::remove(folder() / "FsmnVad.mlmodelc" / "model.onnx");
  const auto before = testsupport::folderContents(folder());

  EXPECT_THROW(FsmnVadModels::downloadAndLoad(), UnsupportedModelFormatError);
  EXPECT_THROW(FsmnVadManager::load(), UnsupportedModelFormatError);
  EXPECT_EQ(testsupport::folderContents(folder()), before);
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(FsmnVadModelsTest, LoadGivesAReadyManager) {
  const auto vad = FsmnVadManager::load();
  ASSERT_TRUE(vad);
  EXPECT_TRUE(vad->models().preprocessor);
  EXPECT_EQ(vad->detect(level(0.1f, 32000)), (std::vector<FsmnVadSegment>{{0, 2000}}));
  EXPECT_TRUE(vad->detect(level(0.5f, 32000)).empty());
}

}  // namespace
}  // namespace tesselaudio
