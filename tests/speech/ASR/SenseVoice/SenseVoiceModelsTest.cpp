#include "speech/ASR/SenseVoice/SenseVoiceModels.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModel.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/SenseVoice/SenseVoiceConfig.h"
#include "speech/ASR/SenseVoice/SenseVoiceManager.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/SenseVoiceModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

constexpr const char* kRepo = "TesselInference/sensevoice-small-coreml";

// A loopback hub that can serve the stand-in set, the user's data folder (and so the models root)
// in a temporary folder, and the log captured.
class SenseVoiceModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }

  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  fs::path writeSet() {
    const fs::path set = scratch_.path() / "sensevoice-small";
    testsupport::writeSenseVoiceFolder(set);
    return set;
  }

  void publishSet() { hub_.putRepository(kRepo, "main", writeSet()); }

  fs::path cache() const { return data_.path() / "TesselAudio" / "Models" / "sensevoice-small"; }

  bool requested(const std::string& prefix) const {
    const auto requests = hub_.requests();
    return std::any_of(requests.begin(), requests.end(), [&](const auto& request) {
      const auto at = request.target.find("/resolve/main/");
      return at != std::string::npos && request.target.substr(at + 14).starts_with(prefix);
    });
  }

  bool logged(const std::string& line) const {
    const auto records = log_.records();
    return std::any_of(records.begin(), records.end(), [&](const auto& record) {
      return record.category == "SenseVoiceModels" && record.message == line;
    });
  }

  testsupport::TemporaryFolder data_;
  testsupport::ScopedVariable dataHome_{"XDG_DATA_HOME", data_.path().string()};
  testsupport::TemporaryFolder scratch_;
  testsupport::HubFake hub_;
  testsupport::SystemLogCapture log_;
};

TEST_F(SenseVoiceModelsTest, DownloadAndLoadFetchesOnlyTheAskedEncoder) {
  publishSet();
  const auto models = SenseVoiceModels::downloadAndLoad(SenseVoiceEncoderPrecision::int8);

  EXPECT_TRUE(requested("SenseVoicePreprocessor.mlmodelc/"));
  EXPECT_TRUE(requested("SenseVoiceSmall_int8.mlmodelc/"));
  EXPECT_TRUE(requested("vocab.json"));
  EXPECT_FALSE(requested("SenseVoiceSmall.mlmodelc/"));
  EXPECT_FALSE(requested("SenseVoiceSmall_fp32.mlmodelc/"));
  EXPECT_TRUE(logged("Loaded SenseVoice (encoder: int8, vocab: 64)"));
  EXPECT_EQ(models.vocabulary.size(), 64u);
  EXPECT_EQ(models.vocabulary.at(12), "\u2581こんにちは");
  EXPECT_TRUE(SenseVoiceModels::modelsExist(cache(), SenseVoiceEncoderPrecision::int8));
  EXPECT_FALSE(SenseVoiceModels::modelsExist(cache(), SenseVoiceEncoderPrecision::fp16));

  hub_.clearRequests();
  const auto recogniser = SenseVoiceManager::load(SenseVoiceEncoderPrecision::int8);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_EQ(recogniser->language(), 0);
  EXPECT_EQ(recogniser->textNorm(), 15);
}

TEST_F(SenseVoiceModelsTest, DownloadSkipsACompleteFolderAndForceStartsAfresh) {
  publishSet();
  EXPECT_EQ(SenseVoiceModels::download(SenseVoiceEncoderPrecision::fp32), cache());
  EXPECT_TRUE(logged("Downloading SenseVoice models from HuggingFace..."));
  EXPECT_TRUE(logged("Successfully downloaded SenseVoice models"));
  EXPECT_TRUE(requested("SenseVoiceSmall_fp32.mlmodelc/"));
  EXPECT_TRUE(SenseVoiceModels::modelsExist(cache(), SenseVoiceEncoderPrecision::fp32));

  hub_.clearRequests();
  EXPECT_EQ(SenseVoiceModels::download(SenseVoiceEncoderPrecision::fp32), cache());
  EXPECT_TRUE(logged("SenseVoice models already present at: " + cache().string()));
  EXPECT_TRUE(hub_.requests().empty());

  SenseVoiceModels::download(SenseVoiceEncoderPrecision::fp32, true);
  EXPECT_TRUE(requested("SenseVoiceSmall_fp32.mlmodelc/"));
  EXPECT_TRUE(SenseVoiceModels::modelsExist(cache(), SenseVoiceEncoderPrecision::fp32));
}

TEST_F(SenseVoiceModelsTest, EncoderComputeUnitsFollowThePrecision) {
  const fs::path set = writeSet();
  struct Case {
    SenseVoiceEncoderPrecision precision;
    MLComputeUnits encoderUnits;
  };
  const Case cases[] = {{SenseVoiceEncoderPrecision::fp16, MLComputeUnits::cpuAndNeuralEngine},
                        {SenseVoiceEncoderPrecision::int8, MLComputeUnits::cpuAndNeuralEngine},
                        {SenseVoiceEncoderPrecision::fp32, MLComputeUnits::all}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.precision.rawValue()));
    const auto models = SenseVoiceModels::load(set, c.precision);
    EXPECT_EQ(models.preprocessor->configuration().computeUnits, MLComputeUnits::cpuOnly);
    EXPECT_EQ(models.encoder->configuration().computeUnits, c.encoderUnits);
  }
}

TEST_F(SenseVoiceModelsTest, ModelsExistChecksThePrecisionsOwnFiles) {
  const fs::path set = scratch_.path() / "only-fp16";
  fs::create_directories(set);
  testsupport::senseVoicePreprocessor().writeBundle(set);
  testsupport::senseVoiceEncoder("SenseVoiceSmall").writeBundle(set);
  std::ofstream(set / "vocab.json") << "[]";
  EXPECT_TRUE(SenseVoiceModels::modelsExist(set, SenseVoiceEncoderPrecision::fp16));
  EXPECT_FALSE(SenseVoiceModels::modelsExist(set, SenseVoiceEncoderPrecision::fp32));
  EXPECT_FALSE(SenseVoiceModels::modelsExist(set, SenseVoiceEncoderPrecision::int8));
  fs::remove(set / "vocab.json");
  EXPECT_FALSE(SenseVoiceModels::modelsExist(set, SenseVoiceEncoderPrecision::fp16));
}

TEST_F(SenseVoiceModelsTest, MissingModelOrBadVocabularyIsNamed) {
  const fs::path set = writeSet();
  fs::remove_all(set / "SenseVoiceSmall_fp32.mlmodelc");
  EXPECT_EQ(testsupport::thrownDescription<ASRError>(
                [&] { SenseVoiceModels::load(set, SenseVoiceEncoderPrecision::fp32); }),
            "ASR processing failed: SenseVoice model not found: SenseVoiceSmall_fp32");

  for (const char* malformed : {R"({"0": "<unk>", "1": 7})", R"(["<unk>", null])", R"("<unk>")", "42", "not json"}) {
    SCOPED_TRACE(malformed);
    std::ofstream(set / "vocab.json") << malformed;
    EXPECT_EQ(testsupport::thrownDescription<ASRError>(
                  [&] { SenseVoiceModels::load(set, SenseVoiceEncoderPrecision::fp16); }),
              "ASR processing failed: Failed to parse vocab.json (expected array or dict)");
  }

  // An object of id strings loads as well as an array; other keys are skipped.
  std::ofstream(set / "vocab.json") << R"({"0": "<unk>", "3": "<|ja|>", "name": "x"})";
  const auto models = SenseVoiceModels::load(set, SenseVoiceEncoderPrecision::fp16);
  EXPECT_EQ(models.vocabulary, (std::map<int, std::string>{{0, "<unk>"}, {3, "<|ja|>"}}));
}

TEST(SenseVoiceConfigTest, BucketIsTheFirstThatHoldsTheFrames) {
  const std::pair<int, int> cases[] = {{0, 128}, {128, 128}, {129, 256}, {300, 512}, {1025, 1800}, {1800, 1800},
                                       {1801, 1800}};
  for (const auto& [frames, bucket] : cases) {
    EXPECT_EQ(SenseVoiceConfig::pickBucket(frames), bucket) << frames << " frames";
  }
}

TEST(SenseVoiceConfigTest, PrecisionNamesItsFiles) {
  EXPECT_EQ(SenseVoiceEncoderPrecision::fromRawValue("fp16"), SenseVoiceEncoderPrecision::fp16);
  EXPECT_EQ(SenseVoiceEncoderPrecision::fromRawValue("int8"), SenseVoiceEncoderPrecision::int8);
  EXPECT_EQ(SenseVoiceEncoderPrecision::fromRawValue("fp32"), SenseVoiceEncoderPrecision::fp32);
  for (const char* other : {"FP16", "Int8", "", "fp64"}) EXPECT_FALSE(SenseVoiceEncoderPrecision::fromRawValue(other));
  EXPECT_EQ(SenseVoiceModels::requiredFiles(SenseVoiceEncoderPrecision::fp32),
            (std::set<std::string>{"SenseVoicePreprocessor.mlmodelc", "SenseVoiceSmall_fp32.mlmodelc", "vocab.json"}));
  EXPECT_EQ(SenseVoiceModels::requiredFiles(SenseVoiceEncoderPrecision::fp16),
            (std::set<std::string>{"SenseVoicePreprocessor.mlmodelc", "SenseVoiceSmall.mlmodelc", "vocab.json"}));
}

}  // namespace
}  // namespace tesselaudio
