#include "speech/ASR/Paraformer/ParaformerModels.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Paraformer/ParaformerConfig.h"
#include "speech/ASR/Paraformer/ParaformerManager.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/HubFake.h"
#include "tests/support/ParaformerModelBuilder.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/paraformer-large-zh-coreml";

using testsupport::ScopedVariable;

std::vector<std::string> entriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

// A loopback hub that can serve the stand-in set, the user's data folder (and so the models root)
// in a temporary folder, and the log captured.
class ParaformerModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }

  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  // Writes the stand-in set into the scratch folder and returns its path.
  fs::path writeSet() {
    const fs::path set = scratch_ / "set";
    testsupport::writeParaformerFolder(set);
    return set;
  }

  // Puts every bundle and file of `set` on the hub.
  void publish(const fs::path& set) { hub_.putRepository(kRepo, "main", set); }

  fs::path cache() const { return data_.path() / "TesselAudio" / "Models" / "paraformer-large-zh"; }

  std::vector<std::string> requestedFiles() const {
    std::vector<std::string> files;
    for (const auto& request : hub_.requests()) {
      const auto at = request.target.find("/resolve/main/");
      if (at != std::string::npos) files.push_back(request.target.substr(at + 14));
    }
    return files;
  }

  bool requested(const std::string& prefix) const {
    const auto files = requestedFiles();
    return std::any_of(files.begin(), files.end(), [&](const std::string& f) { return f.starts_with(prefix); });
  }

  std::vector<std::string> lines(const std::string& category) const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == category) out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& category, const std::string& line) const {
    const auto all = lines(category);
    return std::find(all.begin(), all.end(), line) != all.end();
  }

  testsupport::TemporaryFolder data_;
  testsupport::ScopedVariable dataHome_{"XDG_DATA_HOME", data_.path().string()};
  testsupport::TemporaryFolder scratch_;
  testsupport::HubFake hub_;
  testsupport::SystemLogCapture log_;
};

TEST_F(ParaformerModelsTest, DownloadAndLoadFetchesBothPrecisionsAndLoadsOne) {
  publish(writeSet());
  const auto models = ParaformerModels::downloadAndLoad(ParaformerPrecision::fp16);

  EXPECT_TRUE(requested("ParaformerEncoder.mlmodelc/"));
  EXPECT_TRUE(requested("ParaformerEncoder_int8.mlmodelc/"));
  EXPECT_TRUE(requested("ParaformerDecoder_int8.mlmodelc/"));
  EXPECT_TRUE(requested("vocab.json"));
  EXPECT_TRUE(logged("ParaformerModels", "Loaded Paraformer (encoder/decoder: fp16, vocab: 140)"));
  EXPECT_EQ(models.encoder->modelDescription().inputDescriptionsByName.count("speech"), 1u);
  EXPECT_EQ(models.vocabulary.size(), 140u);
  EXPECT_EQ(models.vocabulary.at(3), "\u4e00");
  EXPECT_TRUE(ParaformerModels::modelsExist(cache(), ParaformerPrecision::int8));

  hub_.clearRequests();
  const auto recogniser = ParaformerManager::load(ParaformerPrecision::int8);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_TRUE(logged("ParaformerModels", "Loaded Paraformer (encoder/decoder: int8, vocab: 140)"));
  EXPECT_EQ(recogniser->transcribe(testsupport::paraformerWeightedAudio({1.0f})), "\u4e00");
}

TEST_F(ParaformerModelsTest, DownloadSkipsACompleteFolderAndForceStartsAfresh) {
  publish(writeSet());
  EXPECT_EQ(ParaformerModels::download(ParaformerPrecision::int8), cache());
  EXPECT_TRUE(logged("ParaformerModels", "Downloading Paraformer models from HuggingFace..."));
  EXPECT_TRUE(logged("ParaformerModels", "Successfully downloaded Paraformer models"));

  hub_.clearRequests();
  EXPECT_EQ(ParaformerModels::download(ParaformerPrecision::fp16), cache());
  EXPECT_TRUE(logged("ParaformerModels", "Paraformer models already present at: " + cache().string()));
  EXPECT_TRUE(hub_.requests().empty());

  fs::remove_all(data_.path() / "TesselAudio");
  EXPECT_EQ(ParaformerModels::download(ParaformerPrecision::fp16, true), cache());
  EXPECT_TRUE(ParaformerModels::modelsExist(cache(), ParaformerPrecision::fp16));

  // Forced over a complete folder: fetched again.
  hub_.clearRequests();
  ParaformerModels::download(ParaformerPrecision::fp16, true);
  EXPECT_TRUE(requested("ParaformerEncoder.mlmodelc/"));
}

TEST_F(ParaformerModelsTest, CachedBundleWithoutItsNetworkIsKept) {
  const fs::path set = writeSet();
  fs::remove(set / "ParaformerPreprocessor.mlmodelc" / "model.onnx");
  publish(set);

  EXPECT_THROW(ParaformerModels::downloadAndLoad(ParaformerPrecision::fp16), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(cache() / "ParaformerPreprocessor.mlmodelc" / "coremldata.bin"));
  const auto delivery = lines("DownloadUtils");
  EXPECT_TRUE(std::none_of(delivery.begin(), delivery.end(),
                           [](const std::string& line) { return line.starts_with("Deleting "); }));
}

TEST_F(ParaformerModelsTest, ModelsExistChecksThePrecisionsOwnFiles) {
  const fs::path set = writeSet();
  fs::remove_all(set / "ParaformerEncoder_int8.mlmodelc");
  fs::remove_all(set / "ParaformerDecoder_int8.mlmodelc");
  EXPECT_TRUE(ParaformerModels::modelsExist(set, ParaformerPrecision::fp16));
  EXPECT_FALSE(ParaformerModels::modelsExist(set, ParaformerPrecision::int8));
  fs::remove(set / "vocab.json");
  EXPECT_FALSE(ParaformerModels::modelsExist(set, ParaformerPrecision::fp16));
}

TEST_F(ParaformerModelsTest, MissingModelIsNamed) {
  const fs::path set = writeSet();
  fs::remove_all(set / "ParaformerEncoder_int8.mlmodelc");
  EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { ParaformerModels::load(set, ParaformerPrecision::int8); }),
            "ASR processing failed: Paraformer model not found: ParaformerEncoder_int8");
  EXPECT_NO_THROW(ParaformerModels::load(set, ParaformerPrecision::fp16));
}

TEST_F(ParaformerModelsTest, PackagedEncoderIsCompiledOnEveryLoadAndLeavesNothingBehind) {
  const fs::path set = writeSet();
  fs::remove_all(set / "ParaformerEncoder.mlmodelc");
  testsupport::paraformerEncoder("ParaformerEncoder").writePackage(set);
  testsupport::TemporaryFolder temporary;
  const testsupport::ScopedVariable tmpdir("TMPDIR", temporary.path().string());
  {
    const auto first = ParaformerModels::load(set, ParaformerPrecision::fp16);
    const auto second = ParaformerModels::load(set, ParaformerPrecision::fp16);
    EXPECT_NE(first.encoder, second.encoder);
    EXPECT_EQ(entriesOf(temporary.path()).size(), 2u);
    EXPECT_FALSE(fs::exists(set / "ParaformerEncoder.mlmodelc"));
  }
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
}

TEST(ParaformerConfigTest, EncoderBucketIsTheFirstThatHoldsTheFrames) {
  const std::pair<int, int> cases[] = {{0, 128}, {128, 128}, {129, 256}, {512, 512}, {1025, 1800}, {1800, 1800},
                                       {5000, 1800}};
  for (const auto& [frames, bucket] : cases) {
    EXPECT_EQ(ParaformerConfig::pickEncoderBucket(frames), bucket) << frames << " frames";
  }
}

TEST(ParaformerConfigTest, PrecisionNamesItsFiles) {
  EXPECT_EQ(ParaformerPrecision::fromRawValue("int8"), ParaformerPrecision::int8);
  EXPECT_EQ(ParaformerPrecision::fromRawValue("fp16"), ParaformerPrecision::fp16);
  EXPECT_FALSE(ParaformerPrecision::fromRawValue("FP16"));
  EXPECT_EQ(ParaformerModels::requiredFiles(ParaformerPrecision::int8),
            (std::set<std::string>{"ParaformerPreprocessor.mlmodelc", "ParaformerEncoder_int8.mlmodelc",
                                   "ParaformerCifAlphas.mlmodelc", "ParaformerDecoder_int8.mlmodelc", "vocab.json"}));
}

}  // namespace
}  // namespace tesselaudio
