#include "speech/Diarizer/Nemotron3/Nemotron3Models.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLPredictionOptions.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/Nemotron3ModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::Nemotron3FusedVariant;
using testsupport::Nemotron3ModelSizes;

constexpr float kHigh = 0.880797f;  // sigmoid(4 × 0.5)
constexpr float kLow = 0.119203f;   // sigmoid(−4 × 0.5)

// Chunks of 4 frames with 1 frame of right context, a FIFO of 6 and a cache of 16: W 5, T 27.
Nemotron3Config tinyConfig(bool split = false) { return Nemotron3Config(4, 0, 1, 6, 16, 4, "Tiny.mlmodelc", split); }

// Embedding rows in which row i speaks as speakers[i] (band k all ones; −1 is silence).
std::vector<float> speakerRows(const std::vector<int>& speakers, std::int64_t capacity) {
  std::vector<float> rows(static_cast<std::size_t>(capacity * 512), 0.0f);
  for (std::size_t i = 0; i < speakers.size(); ++i) {
    if (speakers[i] < 0) continue;
    std::fill_n(rows.begin() + static_cast<std::ptrdiff_t>(i * 512 + 16 * speakers[i]), 16, 1.0f);
  }
  return rows;
}

// The speaker that row `row` of a prediction array rates high, or −1 when none does.
int loudest(const std::vector<float>& predictions, std::int64_t row) {
  int found = -1;
  for (int k = 0; k < 8; ++k) {
    const float p = predictions[static_cast<std::size_t>(row * 8 + k)];
    if (p > 0.5f) found = found == -1 ? k : -2;
  }
  return found;
}

std::vector<std::string> warnings(const testsupport::SystemLogCapture& log) {
  std::vector<std::string> out;
  for (const auto& record : log.records()) {
    if (record.category == "Nemotron3Models" && record.message.starts_with("Output backings rejected")) {
      out.push_back(record.message);
    }
  }
  return out;
}

class Nemotron3ModelsTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::shared_ptr<const platform::MLModel> build(const testsupport::ModelBuilder& builder) {
    return std::make_shared<platform::MLModel>(builder.writeBundle(folder_.path()));
  }

  Nemotron3Models fused(Nemotron3FusedVariant variant = Nemotron3FusedVariant::plain, bool splitConfig = false) {
    const auto config = tinyConfig(splitConfig);
    std::optional<std::vector<float>> projection;
    if (splitConfig) projection = testsupport::nemotron3IdentityProjection();
    return Nemotron3Models(config, build(testsupport::nemotron3FusedModel("Fused", {}, variant)),
                           std::vector<float>(512, 0.0f), projection, 0.0);
  }

  Nemotron3Models split() {
    return Nemotron3Models(tinyConfig(true), build(testsupport::nemotron3SplitModel("Split")),
                           std::vector<float>(512, 0.0f), testsupport::nemotron3IdentityProjection(), 0.0);
  }

  // A state with two cache rows of speaker 3 and one FIFO row of speaker 5.
  Nemotron3StreamingState busyState() const {
    Nemotron3StreamingState state(tinyConfig());
    state.spkcache = speakerRows({3, 3}, 16);
    state.spkcacheLength = 2;
    state.fifo = speakerRows({5}, 6);
    state.fifoLength = 1;
    return state;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  const std::vector<float> chunk_ = testsupport::nemotron3Chunk({}, {0, 1, 2, -1, 4});
};

TEST_F(Nemotron3ModelsTest, RunReadsCacheFifoAndWindowRowsInOrder) {
  const auto models = fused();
  const auto output = models.run(chunk_, 40, busyState(), tinyConfig());
  ASSERT_EQ(output.predictions.size(), 27u * 8);
  ASSERT_EQ(output.highResPredictions.size(), 27u * 8 * 8);
  const int expected[] = {3, 3, 5, 0, 1, 2, -1, 4};
  for (int row = 0; row < 8; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(loudest(output.predictions, row), expected[row]);
  }
  EXPECT_NEAR(output.predictions[3 * 8 + 0], kHigh, 1e-5);
  EXPECT_NEAR(output.predictions[3 * 8 + 1], kLow, 1e-5);
  for (int sub = 0; sub < 8; ++sub) {
    EXPECT_EQ(std::vector<float>(output.highResPredictions.begin() + (3 * 8 + sub) * 8,
                                 output.highResPredictions.begin() + (3 * 8 + sub + 1) * 8),
              std::vector<float>(output.predictions.begin() + 3 * 8, output.predictions.begin() + 4 * 8));
  }
  EXPECT_EQ(output.chunkEmbeddings, speakerRows({0, 1, 2, -1, 4}, 5));
  EXPECT_EQ(output.chunkLength, 5);
}

TEST_F(Nemotron3ModelsTest, ChunkLengthCountsEncoderFramesRoundedUp) {
  const auto config = Nemotron3Config::offline();
  const Nemotron3ModelSizes sizes{380, 40, 264};
  const Nemotron3Models models(config, build(testsupport::nemotron3FusedModel("Offline", sizes)),
                               std::vector<float>(512, 0.0f), std::nullopt, 0.0);
  const std::vector<float> chunk(3040 * 128, 0.0f);
  const Nemotron3StreamingState state(config);
  struct Case {
    std::int64_t melFrames, encoderFrames;
  };
  for (const auto& c : {Case{3040, 380}, Case{3033, 380}, Case{561, 71}, Case{0, 0}}) {
    SCOPED_TRACE(c.melFrames);
    const auto output = models.run(chunk, c.melFrames, state, config);
    EXPECT_EQ(output.chunkLength, c.encoderFrames);
    EXPECT_EQ(output.chunkEmbeddings.size(), 380u * 512);
    EXPECT_EQ(output.predictions.size(), 684u * 8);
    EXPECT_EQ(output.highResPredictions.size(), 684u * 64);
  }
}

TEST_F(Nemotron3ModelsTest, Float16OutputsReadBackAsTheirValues) {
  const auto wide = fused().run(chunk_, 40, busyState(), tinyConfig());
  const auto half = fused(Nemotron3FusedVariant::float16Outputs);
  EXPECT_EQ(half.predsBacking->dataType(), MLMultiArrayDataType::float16);
  const auto narrow = half.run(chunk_, 40, busyState(), tinyConfig());
  ASSERT_EQ(narrow.predictions.size(), wide.predictions.size());
  ASSERT_EQ(narrow.chunkEmbeddings.size(), wide.chunkEmbeddings.size());
  for (std::size_t i = 0; i < wide.predictions.size(); ++i) ASSERT_NEAR(narrow.predictions[i], wide.predictions[i], 1e-3);
  EXPECT_EQ(narrow.chunkEmbeddings, wide.chunkEmbeddings);
  EXPECT_TRUE(warnings(log_).empty());
}

TEST_F(Nemotron3ModelsTest, RejectedBackingsAreDroppedOnceForEveryCopy) {
  const auto models = fused(Nemotron3FusedVariant::longPredictions);
  const auto first = models.run(chunk_, 40, busyState(), tinyConfig());
  EXPECT_EQ(first.predictions.size(), 28u * 8);
  EXPECT_EQ(loudest(first.predictions, 3), 0);
  const auto logged = warnings(log_);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(logged[0].ends_with("); retrying without them")) << logged[0];
  EXPECT_NE(logged[0].find("Output backing"), std::string::npos) << logged[0];

  const Nemotron3Models copy = models;
  EXPECT_TRUE(copy.predictionOptions->outputBackings.empty());
  copy.run(chunk_, 40, busyState(), tinyConfig());
  models.run(chunk_, 40, busyState(), tinyConfig());
  EXPECT_EQ(warnings(log_).size(), 1u);
}

TEST_F(Nemotron3ModelsTest, MissingEmbeddingsFailOnlyWithoutABacking) {
  const auto splitSet = fused(Nemotron3FusedVariant::withoutEmbeddings, true);
  EXPECT_FALSE(splitSet.embsBacking);
  try {
    splitSet.run(chunk_, 40, busyState(), tinyConfig(true));
    ADD_FAILURE() << "no error";
  } catch (const Nemotron3Error& e) {
    EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::inferenceFailed);
    EXPECT_EQ(e.description(), "Nemotron 3 diarization inference failed: Missing chunk_pre_encode_embs output");
  }

  const auto fusedSet = fused(Nemotron3FusedVariant::withoutEmbeddings);
  const auto output = fusedSet.run(chunk_, 40, busyState(), tinyConfig());
  EXPECT_EQ(output.chunkEmbeddings, std::vector<float>(5 * 512, 0.0f));
  EXPECT_EQ(loudest(output.predictions, 2), 5);
}

TEST_F(Nemotron3ModelsTest, RunSplitPacksOnlyTheValidRows) {
  const auto models = split();
  const Nemotron3StreamingState empty(tinyConfig(true));
  const auto output = models.runSplit(chunk_, 9, empty, tinyConfig(true));
  EXPECT_EQ(output.chunkLength, 2);
  const auto reference = fused().run(chunk_, 40, empty, tinyConfig());
  EXPECT_EQ(output.chunkEmbeddings, reference.chunkEmbeddings);

  const float* packed = static_cast<const float*>(models.packedArray->dataPointer());
  EXPECT_EQ(std::vector<float>(packed, packed + 2 * 512), std::vector<float>(reference.chunkEmbeddings.begin(),
                                                                           reference.chunkEmbeddings.begin() + 2 * 512));
  EXPECT_TRUE(std::all_of(packed + 2 * 512, packed + 27 * 512, [](float v) { return v == 0.0f; }));
  const float* bias = static_cast<const float*>(models.attnBiasArray->dataPointer());
  const float* mask = static_cast<const float*>(models.outputMaskArray->dataPointer());
  for (int i = 0; i < 27; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bias[i], i < 2 ? 0.0f : -30000.0f);
    EXPECT_EQ(mask[i], i < 2 ? 1.0f : 0.0f);
  }
  EXPECT_EQ(loudest(output.predictions, 0), 0);
  EXPECT_EQ(loudest(output.predictions, 1), 1);
  EXPECT_EQ(output.predictions[2 * 8], 0.0f);

  // With a cache and a FIFO their valid rows come first.
  auto state = busyState();
  const auto withMemory = models.runSplit(chunk_, 40, state, tinyConfig(true));
  const int expected[] = {3, 3, 5, 0, 1, 2, -1, 4};
  for (int row = 0; row < 8; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(loudest(withMemory.predictions, row), expected[row]);
  }
  EXPECT_EQ(bias[7], 0.0f);
  EXPECT_EQ(bias[8], -30000.0f);
}

TEST_F(Nemotron3ModelsTest, RunSplitOnAFusedSetFailsBeforeAnything) {
  const auto models = fused();
  EXPECT_FALSE(models.packedArray);
  try {
    models.runSplit(chunk_, 40, busyState(), tinyConfig());
    ADD_FAILURE() << "no error";
  } catch (const Nemotron3Error& e) {
    EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::invalidState);
    EXPECT_EQ(e.description(), "Invalid Nemotron 3 diarization state: runSplit called on a non-split configuration");
  }
  const float* chunk = static_cast<const float*>(models.chunkArray->dataPointer());
  EXPECT_TRUE(std::all_of(chunk, chunk + 40 * 128, [](float v) { return v == 0.0f; }));
}

TEST_F(Nemotron3ModelsTest, InputsAreAllocatedOnceAndOverwrittenEachCall) {
  const auto models = fused();
  const std::vector<void*> before = {models.chunkArray->dataPointer(), models.spkcacheArray->dataPointer(),
                                     models.fifoArray->dataPointer(), models.chunkLengthArray->dataPointer()};
  models.run(chunk_, 40, busyState(), tinyConfig());
  const Nemotron3StreamingState empty(tinyConfig());
  const auto output = models.run(std::vector<float>(40 * 128, 0.0f), 0, empty, tinyConfig());
  const std::vector<void*> after = {models.chunkArray->dataPointer(), models.spkcacheArray->dataPointer(),
                                    models.fifoArray->dataPointer(), models.chunkLengthArray->dataPointer()};
  EXPECT_EQ(before, after);
  // Nothing of the first call reaches the second.
  for (int row = 0; row < 8; ++row) EXPECT_EQ(loudest(output.predictions, row), -1);
  const float* cache = static_cast<const float*>(models.spkcacheArray->dataPointer());
  EXPECT_TRUE(std::all_of(cache, cache + 16 * 512, [](float v) { return v == 0.0f; }));
}

TEST_F(Nemotron3ModelsTest, RefusesCallsTheBuffersCannotTake) {
  const auto models = fused();
  struct Case {
    const char* name;
    std::size_t chunkValues;
    std::int64_t chunkLength;
    std::int64_t spkcacheLength, fifoLength;
    std::size_t fifoValues;
    Nemotron3Config config;
  };
  auto other = tinyConfig();
  other.fifoLen = 7;
  const Case cases[] = {
      {"short chunk", 40 * 128 - 1, 40, 0, 0, 6 * 512, tinyConfig()},
      {"chunk length beyond the window", 40 * 128, 41, 0, 0, 6 * 512, tinyConfig()},
      {"negative chunk length", 40 * 128, -1, 0, 0, 6 * 512, tinyConfig()},
      {"cache length beyond capacity", 40 * 128, 40, 17, 0, 6 * 512, tinyConfig()},
      {"fifo length beyond capacity", 40 * 128, 40, 0, 7, 6 * 512, tinyConfig()},
      {"short fifo", 40 * 128, 40, 0, 0, 5 * 512, tinyConfig()},
      {"another configuration", 40 * 128, 40, 0, 0, 6 * 512, other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Nemotron3StreamingState state(tinyConfig());
    state.spkcacheLength = c.spkcacheLength;
    state.fifoLength = c.fifoLength;
    state.fifo.resize(c.fifoValues);
    try {
      models.run(std::vector<float>(c.chunkValues, 0.0f), c.chunkLength, state, c.config);
      ADD_FAILURE() << "no error";
    } catch (const Nemotron3Error& e) {
      EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::invalidState) << e.description();
    }
  }
  // The split road reads W rows of 1024 values and at most W valid rows.
  const auto splitSet = split();
  const Nemotron3StreamingState empty(tinyConfig(true));
  EXPECT_THROW(splitSet.runSplit(std::vector<float>(5 * 1024 - 1, 0.0f), 8, empty, tinyConfig(true)), Nemotron3Error);
  EXPECT_THROW(splitSet.runSplit(chunk_, 41, empty, tinyConfig(true)), Nemotron3Error);
}

// An array over `values` stored as `type` at the given strides.
struct StridedArray {
  std::vector<std::uint8_t> memory;
  std::shared_ptr<MLMultiArray> array;
};

StridedArray strided(MLMultiArrayDataType type, std::vector<std::int64_t> shape, std::vector<std::int64_t> strides,
                     std::int64_t elements, const std::vector<float>& values) {
  StridedArray out;
  out.memory.assign(static_cast<std::size_t>(elements) * platform::elementSize(type), 0xFF);
  out.array = std::make_shared<MLMultiArray>(out.memory.data(), shape, type, strides);
  for (std::size_t i = 0; i < values.size(); ++i) out.array->set(static_cast<std::int64_t>(i), platform::NSNumber(values[i]));
  return out;
}

TEST(Nemotron3FloatsTest, ReadsEveryLayoutInLogicalOrder) {
  std::vector<float> twelve(12);
  for (int i = 0; i < 12; ++i) twelve[static_cast<std::size_t>(i)] = 0.5f * static_cast<float>(i) - 2.0f;
  struct Case {
    const char* name;
    MLMultiArrayDataType type;
    std::vector<std::int64_t> shape, strides;
    std::int64_t elements;
  };
  const Case cases[] = {
      {"float16 rows 8 apart", MLMultiArrayDataType::float16, {1, 3, 4}, {24, 8, 1}, 24},
      {"float32 rows 8 apart", MLMultiArrayDataType::float32, {1, 3, 4}, {24, 8, 1}, 24},
      {"float32 columns 2 apart", MLMultiArrayDataType::float32, {1, 3, 4}, {24, 8, 2}, 24},
      {"float64 dense", MLMultiArrayDataType::float64, {1, 3, 4}, {12, 4, 1}, 12},
      {"float32 dense three-dimensional", MLMultiArrayDataType::float32, {2, 3, 2}, {6, 2, 1}, 12},
      {"float16 padded three-dimensional", MLMultiArrayDataType::float16, {2, 3, 2}, {24, 8, 1}, 48},
      {"float32 flat", MLMultiArrayDataType::float32, {12}, {1}, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto input = strided(c.type, c.shape, c.strides, c.elements, twelve);
    EXPECT_EQ(Nemotron3Models::floats(*input.array), twelve);
  }
  const auto scalar = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{}, MLMultiArrayDataType::float32);
  scalar->set(0, platform::NSNumber(3.5f));
  EXPECT_EQ(Nemotron3Models::floats(*scalar), std::vector<float>{3.5f});
}

}  // namespace
}  // namespace tesselaudio
