#include "speech/Diarizer/LS-EEND/LSEENDModel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLFeatureValue.h"
#include "platform/sys/JsonCodingError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/HubFake.h"
#include "tests/support/LSEENDModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::LSEENDModelSizes;

constexpr float kAlpha = 2.0f;
constexpr float kTheta = 0.5f;
constexpr int64_t kChunk = 10;
constexpr int64_t kSpeakers = 4;
constexpr int64_t kMels = 16;

// Feature value of frame f, band b: distinct everywhere, so that any misplaced row shows.
float feature(int64_t frame, int64_t band) { return 0.05f * static_cast<float>(frame) - 0.03f * static_cast<float>(band); }

std::vector<float> features() {
  std::vector<float> values(static_cast<size_t>(25 * kMels));
  for (int64_t f = 0; f < 25; ++f) {
    for (int64_t b = 0; b < kMels; ++b) values[static_cast<size_t>(f * kMels + b)] = feature(f, b);
  }
  return values;
}

// What the stand-in gives for output row t, speaker s.
float expectedProbability(int64_t t, int64_t s) {
  const float picked = feature(3 + 2 * t, testsupport::lseendSpeakerBand(static_cast<int>(s)));
  return 1.0f / (1.0f + std::exp(-kAlpha * (picked - kTheta)));
}

std::vector<float> ones(int64_t count) { return std::vector<float>(static_cast<size_t>(count), 1.0f); }

// Every recurrent value reads `value`.
bool stateReads(const LSEENDState& state, double value) {
  for (const auto& array : {state.encRetKv, state.encRetScale, state.encConvCache, state.cnnWindow, state.decRetKv,
                            state.decRetScale}) {
    for (double v : testsupport::arrayValues(*array)) {
      if (v != value) return false;
    }
  }
  return true;
}

class LSEENDModelTest : public testing::Test {
 protected:
  fs::path writeModel(const testsupport::ModelBuilder& builder) {
    fs::remove_all(folder_.path() / (builder.name() + ".mlmodelc"));
    return builder.writeBundle(folder_.path());
  }

  std::unique_ptr<LSEENDModel> load(const testsupport::ModelBuilder& builder) {
    return std::make_unique<LSEENDModel>(writeModel(builder), platform::MLComputeUnits::cpuOnly);
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<LSEENDModel> model_ = load(testsupport::lseendToneModel({}, {kAlpha, kTheta}));
};

TEST_F(LSEENDModelTest, ReadsItsConfigurationFromTheModel) {
  EXPECT_EQ(model_->metadata(), LSEENDMetadata::fromJSON(LSEENDModelSizes{}.configJSON()));
  // The ONNX file's own metadata properties serve as well.
  auto builder = testsupport::lseendToneModel({}, {}, std::nullopt);
  builder.metadataProperty("config", LSEENDModelSizes{}.configJSON());
  EXPECT_EQ(load(builder)->metadata().melFrames(), 25);
}

TEST_F(LSEENDModelTest, RefusesAModelWithoutUsableConfiguration) {
  const auto error = testsupport::thrownDescription<LSEENDError>(
      [&] { load(testsupport::lseendToneModel({}, {}, std::nullopt)); });
  EXPECT_EQ(error, "No `config` found in model metadata");

  EXPECT_THROW(load(testsupport::lseendToneModel({}, {}, "{\"chunk_size\": 10")), platform::JsonCodingError);

  LSEENDModelSizes noHeads;
  noHeads.nHeads = 0;
  const auto refused = testsupport::thrownDescription<LSEENDError>(
      [&] { load(testsupport::lseendToneModel({}, {}, noHeads.configJSON())); });
  EXPECT_NE(refused.find("nHeads"), std::string::npos) << refused;
}

TEST_F(LSEENDModelTest, ABundleWithoutNetworkKeepsItsFolder) {
  const fs::path bundle = writeModel(testsupport::lseendToneModel());
  fs::remove(bundle / "model.onnx");
  EXPECT_THROW(LSEENDModel(bundle, platform::MLComputeUnits::cpuOnly), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(bundle / "coremldata.bin"));
}

TEST_F(LSEENDModelTest, InputAnswersForItsEightInputsOnly) {
  LSEENDInput input(model_->metadata());
  EXPECT_EQ(input.featureNames(), (std::set<std::string>{"features", "enc_kv", "enc_scale", "enc_conv_cache",
                                                         "cnn_window", "dec_kv", "dec_scale", "valid_mask"}));
  const auto& state = input.state();
  EXPECT_EQ(input.featureValue("features")->multiArrayValue(), input.melFeatures());
  EXPECT_EQ(input.featureValue("valid_mask")->multiArrayValue(), input.decoderMask());
  EXPECT_EQ(input.featureValue("enc_kv")->multiArrayValue(), state.encRetKv);
  EXPECT_EQ(input.featureValue("dec_scale")->multiArrayValue(), state.decRetScale);
  for (const char* name : {"probs", "enc_kv_new", "Features", "", "mask"}) {
    EXPECT_EQ(input.featureValue(name), nullptr) << name;
  }
  EXPECT_EQ(input.melFeatures()->shape(), (std::vector<int64_t>{1, 25, kMels}));
  EXPECT_EQ(input.decoderMask()->shape(), (std::vector<int64_t>{kChunk}));
  EXPECT_EQ(input.outputProbs()->strides(), (std::vector<int64_t>{160, 16, 1}));

  const auto& backings = input.predictionOptions().outputBackings;
  EXPECT_EQ(backings.size(), 7u);
  EXPECT_EQ(backings.at("probs"), input.outputProbs());
  EXPECT_EQ(backings.at("enc_kv_new"), state.encRetKv);
  EXPECT_EQ(backings.at("cnn_window_new"), state.cnnWindow);

  const LSEENDState other(model_->metadata());
  input.setState(other);
  EXPECT_EQ(input.predictionOptions().outputBackings.at("dec_kv_new"), other.decRetKv);
  EXPECT_EQ(input.featureValue("dec_kv")->multiArrayValue(), other.decRetKv);
}

TEST_F(LSEENDModelTest, LoadInputsCountsWarmUpFromTheMaskUnlessGiven) {
  LSEENDInput input(model_->metadata());
  std::vector<float> mask = ones(kChunk);
  std::fill_n(mask.begin(), 3, 0.0f);
  input.loadInputs(features(), mask);
  EXPECT_EQ(input.warmupFrames(), 3);
  EXPECT_EQ(testsupport::arrayValues(*input.decoderMask())[2], 0.0);
  EXPECT_EQ(testsupport::arrayValues(*input.melFeatures())[17], static_cast<double>(feature(1, 1)));

  input.loadInputs(features(), mask, 1);
  EXPECT_EQ(input.warmupFrames(), 1);
  input.loadInputs(features(), ones(kChunk));
  EXPECT_EQ(input.warmupFrames(), 0);
}

TEST_F(LSEENDModelTest, LoadInputsRefusesBuffersOfTheWrongLength) {
  LSEENDInput input(model_->metadata());
  input.loadInputs(features(), ones(kChunk), 2);

  // The mask is copied before the features are found short.
  std::vector<float> mask(kChunk, 0.0f);
  auto shortFeatures = features();
  shortFeatures.pop_back();
  const auto error = testsupport::thrownDescription<LSEENDError>([&] { input.loadInputs(shortFeatures, mask); });
  EXPECT_EQ(error, "Input size mismatch: new=399 expected=400");
  EXPECT_EQ(testsupport::arrayValues(*input.decoderMask()), std::vector<double>(kChunk, 0.0));
  EXPECT_EQ(input.warmupFrames(), 2);

  const auto maskError =
      testsupport::thrownDescription<LSEENDError>([&] { input.loadInputs(features(), ones(kChunk + 1)); });
  EXPECT_EQ(maskError, "Input size mismatch: new=11 expected=10");

  try {
    input.loadInputs(features(), ones(kChunk), -1);
    ADD_FAILURE() << "took a negative warm-up";
  } catch (const LSEENDError& e) {
    EXPECT_EQ(e.errorCase(), LSEENDError::Case::invalidInputSize);
  }
  EXPECT_THROW(input.setWarmupFrames(-4), LSEENDError);
  EXPECT_EQ(input.warmupFrames(), 2);
}

TEST_F(LSEENDModelTest, PredictDropsWarmUpRowsAndReadsPaddedRowsDensely) {
  struct Row {
    int64_t warmup;
    int64_t rows;
  };
  LSEENDInput input(model_->metadata());
  int calls = 0;
  for (const Row& row : {Row{0, 10}, Row{3, 7}, Row{9, 1}, Row{10, 0}, Row{12, 0}}) {
    SCOPED_TRACE(row.warmup);
    input.loadInputs(features(), ones(kChunk), row.warmup);
    const auto probs = model_->predict(input);
    ++calls;
    // The model ran even when nothing comes back: its state moved on.
    EXPECT_TRUE(stateReads(input.state(), calls));
    ASSERT_EQ(probs.size(), static_cast<size_t>(row.rows * kSpeakers));
    for (int64_t t = 0; t < row.rows; ++t) {
      for (int64_t s = 0; s < kSpeakers; ++s) {
        EXPECT_NEAR(probs[static_cast<size_t>(t * kSpeakers + s)], expectedProbability(row.warmup + t, s), 1e-6)
            << "row " << t << " speaker " << s;
      }
    }
  }
}

TEST_F(LSEENDModelTest, StateIsCarriedInPlaceAndReset) {
  LSEENDInput input(model_->metadata());
  const auto kv = input.state().encRetKv;
  input.loadInputs(features(), ones(kChunk));
  model_->predict(input);
  model_->predict(input);
  EXPECT_TRUE(stateReads(input.state(), 2));
  EXPECT_EQ(input.state().encRetKv, kv);
  input.resetState();
  EXPECT_TRUE(stateReads(input.state(), 0));
  model_->predict(input);
  EXPECT_TRUE(stateReads(input.state(), 1));
}

// A loopback hub serving the dih3 model at 100 ms, the registry pointed at it and the log captured.
class LSEENDModelHubTest : public testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  void publish() {
    const fs::path bundle = testsupport::lseendToneModel().writeBundle(scratch_.path());
    hub_.putFolder(testsupport::kLSEENDRepo, "main", testsupport::kLSEENDDih3Path, bundle);
  }

  std::unique_ptr<LSEENDModel> load() {
    return LSEENDModel::loadFromHuggingFace(ModelNames::LSEEND::Variant::dihard3,
                                            ModelNames::LSEEND::StepSize::step100ms, root());
  }

  fs::path root() const { return models_.path() / "Models"; }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "LS-EEND Model") out.push_back(record.message);
    }
    return out;
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder models_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
};

TEST_F(LSEENDModelHubTest, ACachedModelLoadsWithoutTheHub) {
  testsupport::installLSEENDBundle(testsupport::lseendToneModel(), root());
  EXPECT_EQ(load()->metadata().chunkSize, kChunk);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_TRUE(messages().empty());
}

TEST_F(LSEENDModelHubTest, DownloadsTheMissingModelFolderIntoTheVariantsFolder) {
  publish();
  const auto model = load();
  EXPECT_EQ(model->metadata().maxSpeakers, kSpeakers);
  const fs::path bundle = testsupport::lseendDih3Bundle(root());
  EXPECT_TRUE(fs::is_regular_file(bundle / "model.onnx"));
  EXPECT_EQ(bundle, root() / "ls-eend/dih3/optimized/dih3/100ms/ls_eend_dih3_100ms.mlmodelc");
  EXPECT_EQ(messages(), std::vector<std::string>{"Models not found in cache at " + bundle.string() +
                                                 "; downloading optimized/dih3/100ms/ls_eend_dih3_100ms.mlmodelc\u2026"});
  // Nothing is asked of the hub once the folder is there.
  hub_.clearRequests();
  load();
  EXPECT_TRUE(hub_.requests().empty());
}

// The download leaves an empty folder behind; it is no model, and the next load fetches again.
TEST_F(LSEENDModelHubTest, AHubWithoutTheModelFailsNamingThePathsAndTheNextLoadRetries) {
  hub_.putFile(testsupport::kLSEENDRepo, "main", {"optimized/dih3/200ms/other.bin", "x", false});
  const fs::path bundle = testsupport::lseendDih3Bundle(root());
  const auto error = testsupport::thrownDescription<LSEENDError>([&] { load(); });
  EXPECT_EQ(error, "HF download completed but mlmodelc missing at " + bundle.string() +
                       ". Expected HF path: 100ms/ls_eend_dih3_100ms.mlmodelc");

  publish();
  EXPECT_EQ(load()->metadata().chunkSize, kChunk);
}

}  // namespace
}  // namespace tesselaudio
