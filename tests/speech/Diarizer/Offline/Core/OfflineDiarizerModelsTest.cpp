#include "speech/Diarizer/Offline/Core/OfflineDiarizerModels.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/JsonCodingError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/Shared/Repo.h"
#include "tests/support/HubFake.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/speaker-diarization-coreml";

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::string psiJson(const std::string& base64) {
  return R"({"tensors": {"psi": {"data_base64": ")" + base64 + R"("}}})";
}

// The hub fake serving the offline set, the models root in a temporary data folder and the log
// captured.
class OfflineDiarizerModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
    testsupport::writeOfflineDiarizerFiles(published_.path());
  }

  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  // Serves the published files; `withoutOnnx` leaves model.onnx out of that bundle.
  void publish(const std::string& withoutOnnx = "") {
    for (const auto& entry : fs::recursive_directory_iterator(published_.path())) {
      if (!entry.is_regular_file()) continue;
      const auto relative = entry.path().lexically_relative(published_.path()).generic_string();
      if (!withoutOnnx.empty() && relative == withoutOnnx + "/model.onnx") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      hub_.putFile(kRepo, Repo(Repo::diarizer).revision(),
                   {relative, std::string(std::istreambuf_iterator<char>(in), {}), relative.ends_with(".onnx")});
    }
  }

  std::vector<std::string> fileRequests() const {
    std::vector<std::string> targets;
    for (const auto& request : hub_.requests()) {
      if (request.target.find("/resolve/") != std::string::npos) targets.push_back(request.target);
    }
    return targets;
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "OfflineDiarizerModels") out.push_back(record.message);
    }
    return out;
  }

  fs::path modelsRoot() const { return data_.path() / "TesselAudio" / "Models"; }

  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder published_;
  testsupport::TemporaryFolder folder_;
  testsupport::HubFake hub_;
  testsupport::SystemLogCapture log_;
};

TEST_F(OfflineDiarizerModelsTest, WithoutFolderCachesUnderTheModelsRoot) {
  publish();
  const auto models = OfflineDiarizerModels::load();

  const auto cache = modelsRoot() / "speaker-diarization";
  for (const char* file : {"Segmentation.mlmodelc/model.onnx", "FBank.mlmodelc/model.onnx",
                           "Embedding.mlmodelc/model.onnx", "PldaRho.mlmodelc/model.onnx", "plda-parameters.json"}) {
    EXPECT_TRUE(fs::is_regular_file(cache / file)) << file;
  }
  // Found as "speaker-diarization/plda-parameters.json" below the root.
  EXPECT_FALSE(fs::exists(modelsRoot() / "plda-parameters.json"));
  EXPECT_EQ(models.pldaPsi, std::vector<double>(128, 1.0));
  ASSERT_TRUE(models.segmentationModel && models.fbankModel && models.embeddingModel && models.pldaRhoModel);
  EXPECT_EQ(models.segmentationModel->configuration().computeUnits, platform::MLComputeUnits::all);
  EXPECT_EQ(models.pldaRhoModel->modelDescription().outputDescriptionsByName.count("rho"), 1u);
  EXPECT_GT(models.compilationDuration, 0.0);

  const auto all = messages();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], "Loading offline diarization models from " + modelsRoot().string());
  EXPECT_TRUE(all[1].starts_with("Offline diarization models ready (compile: ")) << all[1];
  EXPECT_TRUE(all[1].ends_with("s, computeUnits: segmentation/embedding/plda=.all, fbank=.cpuOnly)")) << all[1];
}

TEST_F(OfflineDiarizerModelsTest, FbankRunsOnTheCpuWhateverTheCallerAsks) {
  publish();
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = platform::MLComputeUnits::cpuAndNeuralEngine;
  const auto models = OfflineDiarizerModels::load(folder_.path(), configuration);

  EXPECT_EQ(models.fbankModel->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  for (const auto& model : {models.segmentationModel, models.embeddingModel, models.pldaRhoModel}) {
    EXPECT_EQ(model->configuration().computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
  }
  const auto all = messages();
  ASSERT_FALSE(all.empty());
  EXPECT_TRUE(all.back().ends_with("computeUnits: segmentation/embedding/plda=.cpuAndNeuralEngine, fbank=.cpuOnly)"))
      << all.back();
}

TEST_F(OfflineDiarizerModelsTest, PLDAFileDirectlyInTheFolderWins) {
  publish();
  writeText(folder_.path() / "plda-parameters.json", psiJson("AACAPwAAAEA="));
  const auto models = OfflineDiarizerModels::load(folder_.path());
  EXPECT_EQ(models.pldaPsi, (std::vector<double>{1.0, 2.0}));
  EXPECT_TRUE(fs::is_regular_file(folder_.path() / "speaker-diarization" / "plda-parameters.json"));
}

TEST_F(OfflineDiarizerModelsTest, CacheMissingTheFilterBankIsCompletedByTheFirstRun) {
  publish();
  OfflineDiarizerModels::load(folder_.path());
  const auto cache = folder_.path() / "speaker-diarization";
  fs::remove_all(cache / "FBank.mlmodelc");
  hub_.clearRequests();

  const auto models = OfflineDiarizerModels::load(folder_.path());
  EXPECT_TRUE(fs::is_regular_file(cache / "FBank.mlmodelc" / "model.onnx"));
  const auto requests = fileRequests();
  ASSERT_FALSE(requests.empty());
  for (const auto& target : requests) EXPECT_NE(target.find("FBank.mlmodelc"), std::string::npos) << target;
  EXPECT_TRUE(models.fbankModel);
}

TEST_F(OfflineDiarizerModelsTest, BundleWithoutNetworkKeepsTheCache) {
  publish("Segmentation.mlmodelc");
  EXPECT_THROW(OfflineDiarizerModels::load(folder_.path()), UnsupportedModelFormatError);
  const auto cache = folder_.path() / "speaker-diarization";
  for (const char* file : {"Segmentation.mlmodelc/coremldata.bin", "FBank.mlmodelc/model.onnx",
                           "Embedding.mlmodelc/model.onnx", "PldaRho.mlmodelc/model.onnx", "plda-parameters.json"}) {
    EXPECT_TRUE(fs::is_regular_file(cache / file)) << file;
  }
  const auto records = log_.records();
  EXPECT_FALSE(std::any_of(records.begin(), records.end(),
                           [](const auto& r) { return r.message.starts_with("Deleting "); }));
}

TEST_F(OfflineDiarizerModelsTest, PsiIsReadFromTheFirstCandidateInOrder) {
  const struct {
    const char* place;
    const char* base64;
    std::vector<double> psi;
  } candidates[] = {
      {"speaker-diarization-offline/plda-parameters.json", "AACAPw==", {1.0}},
      {"speaker-diarization-coreml/plda-parameters.json", "AAAAQA==", {2.0}},
      {"speaker-diarization/plda-parameters.json", "AABAQA==", {3.0}},
      {"plda-parameters.json", "AACAQA==", {4.0}},
  };
  for (const auto& candidate : candidates) {
    SCOPED_TRACE(candidate.place);
    writeText(folder_.path() / candidate.place, psiJson(candidate.base64));
    EXPECT_EQ(OfflineDiarizerModels::loadPLDAPsi(folder_.path()), candidate.psi);
  }
}

TEST_F(OfflineDiarizerModelsTest, PsiFileContents) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<double> psi;  // when no error
    std::string error;        // the description, when it fails
  };
  const std::string decodeFailed = "Processing failed: Failed to decode PLDA psi parameters";
  const std::string empty = "Processing failed: PLDA psi tensor is empty";
  const Case cases[] = {
      {"twoFloats", psiJson("AACAPwAAAEA="), {1.0, 2.0}, ""},
      {"tenBytesGiveTwoValues", psiJson(testsupport::base64(testsupport::float32Bytes({1.5f, -2.0f}) + "xy")),
       {1.5, -2.0}, ""},
      {"foreignCharactersSkipped", psiJson("AACA\\nPwAA AEA=!"), {1.0, 2.0}, ""},
      {"otherKeysIgnored",
       R"({"version": 2, "tensors": {"mu": [1], "psi": {"shape": [2], "dtype": "f16", "data_base64": "AACAPwAAAEA="}}})",
       {1.0, 2.0}, ""},
      {"emptyText", psiJson(""), {}, empty},
      {"twoBytes", psiJson("AAA="), {}, empty},
      {"topLevelArray", "[1, 2]", {}, decodeFailed},
      {"psiList", R"({"tensors": {"psi": ["AACAPw=="]}})", {}, decodeFailed},
      {"tensorsMissing", R"({"psi": {"data_base64": "AACAPw=="}})", {}, decodeFailed},
      {"dataMissing", R"({"tensors": {"psi": {}}})", {}, decodeFailed},
      {"dataNotText", R"({"tensors": {"psi": {"data_base64": 12}}})", {}, decodeFailed},
      {"groupCut", psiJson("AACAPwA"), {}, decodeFailed},
      {"paddingInside", psiJson("AA==AACA"), {}, decodeFailed},
      {"threePaddings", psiJson("A==="), {}, decodeFailed},
  };
  const auto file = folder_.path() / "plda-parameters.json";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeText(file, c.text);
    if (c.error.empty()) {
      EXPECT_EQ(OfflineDiarizerModels::loadPLDAPsi(folder_.path()), c.psi);
      continue;
    }
    try {
      OfflineDiarizerModels::loadPLDAPsi(folder_.path());
      ADD_FAILURE() << "no error";
    } catch (const OfflineDiarizationError& error) {
      EXPECT_EQ(error.description(), c.error);
    }
  }
}

TEST_F(OfflineDiarizerModelsTest, MissingOrUnreadablePsiFile) {
  try {
    OfflineDiarizerModels::loadPLDAPsi(folder_.path());
    ADD_FAILURE() << "no error";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.description(), "Processing failed: PLDA parameters file not found in " + folder_.path().string());
  }
  writeText(folder_.path() / "plda-parameters.json", "{\"tensors\": ");
  EXPECT_THROW(OfflineDiarizerModels::loadPLDAPsi(folder_.path()), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
