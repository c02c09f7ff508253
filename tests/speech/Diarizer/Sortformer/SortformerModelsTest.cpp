#include "speech/Diarizer/Sortformer/SortformerModels.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/HostEnvironment.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Diarizer/Sortformer/SortformerFeatureLoader.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLComputeUnits;
using testsupport::SortformerContractShape;

// The mel band means of one second of a slot's fixture: slot → four band means.
std::array<float, 4> bandMeans(int slot) {
  const auto audio = testsupport::sortformerBandAudio(slot, 16000);
  SortformerConfig whole = SortformerConfig::balancedV2_1();
  whole.chunkLen = 1000;
  whole.chunkLeftContext = 0;
  whole.chunkRightContext = 0;
  SortformerFeatureLoader loader(whole, audio);
  const auto features = loader.next()->chunkFeatures;
  const auto frames = features.size() / 128;
  std::array<float, 4> means{};
  // Skip the edges, where centred framing sees the zero padding.
  for (std::size_t f = 5; f + 5 < frames; ++f) {
    for (int b = 0; b < 128; ++b) means[b / 32] += features[f * 128 + b];
  }
  for (auto& m : means) m /= static_cast<float>((frames - 10) * 32);
  return means;
}

TEST(SortformerBandFixtureTest, EachFixtureFillsItsOwnBandOnly) {
  const testsupport::SortformerBandOracle oracle;
  for (int slot = 0; slot < 4; ++slot) {
    const auto means = bandMeans(slot);
    for (int band = 0; band < 4; ++band) {
      SCOPED_TRACE(testing::Message() << "fixture " << slot << ", band " << band);
      if (band == slot) {
        EXPECT_GT(means[band], oracle.thresholds[band] + 2.0f);
      } else {
        EXPECT_LT(means[band], oracle.thresholds[band] - 2.0f);
      }
    }
  }
}

testsupport::SortformerModelSizes sizesOf(const SortformerConfig& config) {
  return {config.chunkLen,    config.chunkLeftContext, config.chunkRightContext,
          config.fifoLen,     config.spkcacheLen,      config.subsamplingFactor,
          config.melFeatures, config.preEncoderDims,   config.numSpeakers};
}

std::shared_ptr<const platform::MLModel> loadBundle(const testsupport::ModelBuilder& builder,
                                                    const testsupport::TemporaryFolder& folder) {
  return std::make_shared<const platform::MLModel>(builder.writeBundle(folder.path()));
}

// The slot with the largest probability in each row of `predictions`.
std::vector<int> loudestSlots(const std::vector<float>& predictions, std::size_t rows) {
  std::vector<int> slots;
  for (std::size_t r = 0; r < rows; ++r) {
    const auto row = predictions.begin() + static_cast<std::ptrdiff_t>(r * 4);
    slots.push_back(static_cast<int>(std::max_element(row, row + 4) - row));
  }
  return slots;
}

// The first chunk of two seconds of a slot's fixture, and its frame embeddings.
struct SlotChunk {
  SortformerFeatureLoader::Chunk chunk;
  std::vector<float> embeddings;
};

class SortformerModelsTest : public testing::Test {
 protected:
  const SortformerConfig& config_ = SortformerConfig::balancedV2_1();
  testsupport::TemporaryFolder folder_;

  SortformerModels bandOracle() {
    return SortformerModels(config_, loadBundle(testsupport::sortformerBandOracleModel(sizesOf(config_)), folder_), 0);
  }

  SlotChunk slotChunk(const SortformerModels& models, int slot) {
    SortformerFeatureLoader loader(config_, testsupport::sortformerBandAudio(slot, 32000));
    auto chunk = *loader.next();
    auto output = models.runMainModel(chunk.chunkFeatures, chunk.chunkLength, {}, 0, {}, 0, config_);
    output.chunkEmbeddings.resize(static_cast<std::size_t>(output.chunkLength * 512));
    return {std::move(chunk), std::move(output.chunkEmbeddings)};
  }
};

TEST_F(SortformerModelsTest, BandOraclePacksCacheFifoAndChunkRows) {
  const auto models = bandOracle();
  const auto first = slotChunk(models, 2);
  EXPECT_EQ(first.chunk.chunkLength, 104);  // no left context yet
  EXPECT_EQ(first.embeddings.size(), 13u * 512u);

  // Two cache frames of slot 3 and three FIFO frames of slot 0 ahead of the slot-2 chunk.
  const auto cache = slotChunk(models, 3).embeddings;
  const auto fifo = slotChunk(models, 0).embeddings;
  const auto output = models.runMainModel(first.chunk.chunkFeatures, first.chunk.chunkLength,
                                          std::span(cache).first(2 * 512), 2,
                                          std::span(fifo).first(3 * 512), 3, config_);
  EXPECT_EQ(output.chunkLength, 13);
  EXPECT_EQ(output.predictions.size(), 390u * 4u);
  EXPECT_EQ(output.chunkEmbeddings.size(), 14u * 512u);
  const std::vector<int> want = {3, 3, 0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
  EXPECT_EQ(loudestSlots(output.predictions, want.size()), want);
  for (std::size_t r = 0; r < want.size(); ++r) {
    EXPECT_GT(output.predictions[r * 4 + static_cast<std::size_t>(want[r])], 0.9f) << r;
  }
  // The chunk's 14th frame is padding, which reads as silence.
  for (int s = 0; s < 4; ++s) EXPECT_LT(output.predictions[(5 + 13) * 4 + s], 0.01f);
}

TEST_F(SortformerModelsTest, InputsAreAllocatedOnceAlignedAndZeroedAfterTheValues) {
  const auto models = bandOracle();
  const platform::MLMultiArray* arrays[] = {models.chunkArray.get(),    models.chunkLengthArray.get(),
                                            models.fifoArray.get(),     models.fifoLengthArray.get(),
                                            models.spkcacheArray.get(), models.spkcacheLengthArray.get()};
  std::vector<void*> pointers;
  for (const auto* array : arrays) {
    pointers.push_back(array->dataPointer());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array->dataPointer()) % 64, 0u);
  }
  EXPECT_EQ(models.chunkArray->shape(), (std::vector<int64_t>{1, 112, 128}));
  EXPECT_EQ(models.fifoArray->shape(), (std::vector<int64_t>{1, 188, 512}));
  EXPECT_EQ(models.spkcacheArray->shape(), (std::vector<int64_t>{1, 188, 512}));

  // A full step, then a short chunk, an empty FIFO and a three-frame cache.
  const std::vector<float> full(188 * 512, 1.0f);
  models.runMainModel(std::span(full).first(112 * 128), 112, full, 188, full, 188, config_);
  models.runMainModel(std::span(full).first(10 * 128), 10, std::span(full).first(3 * 512), 3, {}, 0,
                      config_);

  auto countNonZero = [](const platform::MLMultiArray& array) {
    int64_t nonZero = 0;
    for (int64_t i = 0; i < array.count(); ++i) nonZero += array[i].floatValue() != 0.0f;
    return nonZero;
  };
  EXPECT_EQ(countNonZero(*models.chunkArray), 10 * 128);
  EXPECT_EQ((*models.chunkArray)[10 * 128 - 1].floatValue(), 1.0f);
  EXPECT_EQ(countNonZero(*models.fifoArray), 0);
  EXPECT_EQ(countNonZero(*models.spkcacheArray), 3 * 512);
  EXPECT_EQ((*models.chunkLengthArray)[0].int32Value(), 10);
  EXPECT_EQ((*models.fifoLengthArray)[0].int32Value(), 0);
  EXPECT_EQ((*models.spkcacheLengthArray)[0].int32Value(), 3);
  for (std::size_t i = 0; i < std::size(arrays); ++i) EXPECT_EQ(arrays[i]->dataPointer(), pointers[i]) << i;

  // Copies share the buffers.
  const SortformerModels copy = models;
  EXPECT_EQ(copy.chunkArray, models.chunkArray);
  EXPECT_EQ(copy.mainModel, models.mainModel);
}

TEST_F(SortformerModelsTest, OutputsAreReadUnderEitherNameOrFailWithTheMissingOne) {
  struct Case {
    const char* name;
    SortformerContractShape shape;
    const char* error;  // null when the step succeeds
  };
  const Case cases[] = {
      {"outputsWithOut", SortformerContractShape::outputsWithOut, nullptr},
      {"outputsWithoutOut", SortformerContractShape::outputsWithoutOut, nullptr},
      {"float16EmbeddingsOut", SortformerContractShape::float16EmbeddingsOut, nullptr},
      {"emptyLengthsOutFallsBack", SortformerContractShape::emptyLengthsOutBesidePlain, nullptr},
      {"float16EmbeddingsPlain", SortformerContractShape::float16EmbeddingsPlain,
       "Inference failed: Missing chunk_pre_encoder_embs_out"},
      {"noPredictions", SortformerContractShape::noPredictions,
       "Inference failed: Missing speaker_preds or speaker_preds_out"},
      {"noLengths", SortformerContractShape::noLengths,
       "Inference failed: Missing chunk_pre_encoder_lengths or chunk_pre_encoder_lengths_out"},
  };
  const std::vector<float> chunk(112 * 128, -3.0f);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder folder;
    const SortformerModels models(config_, loadBundle(testsupport::sortformerContractModel(c.shape), folder), 0);
    // Twice: a failed step leaves the set as usable as before.
    for (int step = 0; step < 2; ++step) {
      try {
        const auto output = models.runMainModel(chunk, 112, {}, 0, {}, 0, config_);
        EXPECT_EQ(c.error, nullptr);
        EXPECT_EQ(output.predictions, std::vector<float>(390 * 4, 0.25f));
        EXPECT_EQ(output.chunkEmbeddings, std::vector<float>(14 * 512, 0.5f));
        EXPECT_EQ(output.chunkLength, 14);
      } catch (const SortformerError& error) {
        ASSERT_NE(c.error, nullptr) << error.description();
        EXPECT_EQ(error.errorCode(), SortformerError::Code::inferenceFailed);
        EXPECT_EQ(error.description(), c.error);
      }
    }
  }
}

TEST_F(SortformerModelsTest, EmbeddedConfigNeedsFiveDecimalIntegers) {
  struct Case {
    const char* name;
    const char* fifoLen;  // null: the model has no metadata at all
    std::optional<SortformerModels::EmbeddedConfig> want;
  };
  const Case cases[] = {
      {"present", "188", SortformerModels::EmbeddedConfig{6, 1, 7, 188, 188}},
      {"leadingPlus", "+188", SortformerModels::EmbeddedConfig{6, 1, 7, 188, 188}},
      {"leadingMinus", "-5", SortformerModels::EmbeddedConfig{6, 1, 7, -5, 188}},
      {"absent", nullptr, std::nullopt},
      {"trailingJunk", "40x", std::nullopt},
      {"empty", "", std::nullopt},
      {"loneSign", "+", std::nullopt},
      {"twoSigns", "+-5", std::nullopt},
      {"blank", " 40", std::nullopt},
      {"beyondInt64", "9223372036854775808", std::nullopt},
      {"int64Max", "9223372036854775807",
       SortformerModels::EmbeddedConfig{6, 1, 7, 9223372036854775807, 188}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder folder;
    auto builder = testsupport::sortformerBandOracleModel(sizesOf(config_), {}, c.fifoLen != nullptr);
    if (c.fifoLen) builder.creatorDefined("fifo_len", c.fifoLen);
    const SortformerModels models(config_, loadBundle(builder, folder), 0);
    EXPECT_EQ(models.embeddedConfig(), c.want);
  }
}

// Reports a chosen amount of physical memory; everything else as the real system.
class MemoryHost : public platform::HostEnvironment {
 public:
  explicit MemoryHost(long bytes) : bytes_(bytes) {}
  std::optional<long> sysconf(int name) const override {
    if (name == _SC_PHYS_PAGES) return bytes_;
    if (name == _SC_PAGESIZE) return 1;
    return HostEnvironment::sysconf(name);
  }

 private:
  long bytes_;
};

TEST(SortformerModelsComputeUnitsTest, LargeFp16HeadsRunOnCpuBelowEightGiB) {
  using ModelNames::Sortformer::ModelPrecision;
  constexpr long kGiB = 1L << 30;
  struct Case {
    const char* name;
    SortformerConfig config;
    long memory;
    MLComputeUnits want;
  };
  auto palettized = SortformerConfig::highContextV2();
  palettized.precision = ModelPrecision::palettized;
  const Case cases[] = {
      {"balancedOnSmallMachine", SortformerConfig::balancedV2_1(), 2 * kGiB, MLComputeUnits::all},
      {"palettizedHighContext", palettized, 2 * kGiB, MLComputeUnits::all},
      {"fp16HighContextAtExactlyEight", SortformerConfig::highContextV2_1(), 8 * kGiB, MLComputeUnits::all},
      {"fp16HighContextBelowEight", SortformerConfig::highContextV2(), 79 * kGiB / 10, MLComputeUnits::cpuOnly},
      {"fp16HighContextV2_1BelowEight", SortformerConfig::highContextV2_1(), 4 * kGiB, MLComputeUnits::cpuOnly},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto previous = platform::HostEnvironment::replace(std::make_shared<MemoryHost>(c.memory));
    EXPECT_EQ(SortformerModels::recommendedComputeUnits(c.config), c.want);
    platform::HostEnvironment::replace(previous);
  }
}

TEST(SortformerModelsComputeUnitsTest, WarningNamesTheVariantAndMemory) {
  const auto previous = platform::HostEnvironment::replace(std::make_shared<MemoryHost>(79L * (1L << 30) / 10));
  testsupport::SystemLogCapture log;
  SortformerModels::recommendedComputeUnits(SortformerConfig::highContextV2());
  platform::HostEnvironment::replace(previous);
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].category, "SortformerModels");
  EXPECT_EQ(records[0].message,
            "Loading large fp16 highContextV2 head on a 7.9GB device with .cpuOnly to avoid the "
            "multi-minute ANE compile hang. Use SortformerConfig.precision = .palettized for an "
            "ANE-friendly ~330MB build, or pass computeUnits explicitly to override.");
}

TEST(SortformerModelsDefaultConfigurationTest, FollowsTheCiVariable) {
  const char* saved = std::getenv("CI");
  const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;

  ::setenv("CI", "", 1);
  const auto onCi = SortformerModels::defaultConfiguration();
  ::unsetenv("CI");
  const auto elsewhere = SortformerModels::defaultConfiguration();
  if (previous) ::setenv("CI", previous->c_str(), 1);

  EXPECT_EQ(onCi.computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_TRUE(onCi.allowLowPrecisionAccumulationOnGPU);
  EXPECT_EQ(elsewhere.computeUnits, MLComputeUnits::all);
  EXPECT_TRUE(elsewhere.allowLowPrecisionAccumulationOnGPU);
}

TEST_F(SortformerModelsTest, LoadCompilesAPackage) {
  const auto package = testsupport::sortformerBandOracleModel(sizesOf(config_)).writePackage(folder_.path());
  testsupport::SystemLogCapture log;
  const auto models = SortformerModels::load(config_, package, std::nullopt, {});
  EXPECT_EQ(models.mainModel->configuration().computeUnits, MLComputeUnits::all);
  EXPECT_TRUE(models.mainModel->configuration().allowLowPrecisionAccumulationOnGPU);
  EXPECT_GE(models.compilationDuration, 0.0);
  EXPECT_EQ(models.embeddedConfig(), (SortformerModels::EmbeddedConfig{6, 1, 7, 188, 188}));
  EXPECT_EQ(slotChunk(models, 1).embeddings.size(), 13u * 512u);

  std::vector<std::string> messages;
  for (const auto& record : log.records()) {
    if (record.category == "SortformerModels") messages.push_back(record.message);
  }
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0], "Loading Sortformer models from local paths (combined pipeline mode)");
  EXPECT_EQ(messages[1], "Compiling main model...");
  EXPECT_EQ(messages[2], "Loaded main Sortformer model (computeUnits=2)");
  EXPECT_TRUE(messages[3].starts_with("Models loaded in ")) << messages[3];

  const auto onCpu = SortformerModels::load(config_, package, MLComputeUnits::cpuOnly, {});
  EXPECT_EQ(onCpu.mainModel->configuration().computeUnits, MLComputeUnits::cpuOnly);
}

TEST_F(SortformerModelsTest, LoadPassesCompileErrorsAndCancellationOn) {
  const auto package = testsupport::sortformerBandOracleModel(sizesOf(config_)).writePackage(folder_.path());
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_THROW(SortformerModels::load(config_, package, std::nullopt, stopped.get_token()),
               platform::CancellationError);

  std::ofstream(package / "model.onnx", std::ios::binary | std::ios::trunc) << "not a network";
  EXPECT_THROW(SortformerModels::load(config_, package, std::nullopt, {}), platform::MLModelError);
}

}  // namespace
}  // namespace tesselaudio
