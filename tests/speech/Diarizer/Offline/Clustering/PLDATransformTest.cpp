#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <stop_token>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using testsupport::ElementType;
using testsupport::ModelBuilder;

// "PldaRho" whose every prediction fails: a call that succeeds with it ran no prediction.
ModelBuilder failingPldaRho() {
  ModelBuilder model("PldaRho");
  model.input("embeddings", ElementType::float32, {-1, 256})
      .output("rho", ElementType::float32, {-1, 128})
      .initializer("impossibleShape", {ElementType::int64, {1}, {7}})
      .node("Reshape", {"embeddings", "impossibleShape"}, {"rho"});
  return model;
}

// "PldaRho" whose output has another name.
ModelBuilder misnamedPldaRho() {
  ModelBuilder model("PldaRho");
  model.input("embeddings", ElementType::float32, {-1, 256})
      .output("projection", ElementType::float32, {-1, 256})
      .node("Identity", {"embeddings"}, {"projection"});
  return model;
}

// "PldaRho" whose "rho" holds 64 values per row instead of 128.
ModelBuilder shortPldaRho() {
  ModelBuilder model("PldaRho");
  model.input("embeddings", ElementType::float32, {-1, 256})
      .output("rho", ElementType::float32, {-1, 64})
      .initializer("starts", {ElementType::int64, {1}, {0}})
      .initializer("ends", {ElementType::int64, {1}, {64}})
      .initializer("axes", {ElementType::int64, {1}, {1}})
      .node("Slice", {"embeddings", "starts", "ends", "axes"}, {"rho"});
  return model;
}

std::vector<std::vector<float>> randomEmbeddings(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<std::vector<float>> embeddings(count, std::vector<float>(256));
  for (auto& embedding : embeddings) {
    for (float& x : embedding) x = value(random);
  }
  return embeddings;
}

template <class Call>
std::string failure(Call&& call) {
  try {
    call();
  } catch (const OfflineDiarizationError& error) {
    return error.description();
  }
  return "no error";
}

class PLDATransformTest : public testing::Test {
 protected:
  PLDATransform transformWith(const ModelBuilder& builder, std::vector<double> psi = {}) {
    return PLDATransform(std::make_shared<platform::MLModel>(builder.writeBundle(folder_.path())), std::move(psi));
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
};

TEST_F(PLDATransformTest, EmptyListTouchesNoModel) {
  const auto plda = transformWith(failingPldaRho());
  EXPECT_TRUE(plda.transform(std::vector<std::vector<float>>{}).empty());
}

TEST_F(PLDATransformTest, BatchesOfThirtyTwoMatchTheProjectionByHand) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const auto embeddings = randomEmbeddings(33, seed);
  const auto plda = transformWith(testsupport::pairDifferencePldaRhoModel(), std::vector<double>(128, 1.0));
  const auto rows = plda.transform(embeddings);

  ASSERT_EQ(rows.size(), 33u);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    ASSERT_EQ(rows[r].size(), 128u);
    for (std::size_t i = 0; i < 127; ++i) {
      const double expected = static_cast<double>(embeddings[r][2 * i] - embeddings[r][2 * i + 1]);
      ASSERT_NEAR(rows[r][i], expected, 1e-6) << "row " << r << " value " << i;
    }
    // The last value counts the rows of the call: 32, then 1.
    EXPECT_EQ(rows[r][127], r < 32 ? 32.0 : 1.0) << "row " << r;
  }
  // Alone, the same embedding gives the same projection, in a call of one row.
  auto single = plda.transform(std::span<const float>(embeddings[5]));
  ASSERT_EQ(single.size(), 128u);
  EXPECT_EQ(single.back(), 1.0);
  single.back() = rows[5].back();
  EXPECT_EQ(single, rows[5]);
  EXPECT_EQ(plda.psi(), std::vector<double>(128, 1.0));
  EXPECT_EQ(plda.phiParameters(), plda.psi());
}

TEST_F(PLDATransformTest, EmbeddingOfAnotherLengthFailsBeforeAnyPrediction) {
  const auto plda = transformWith(failingPldaRho());
  auto embeddings = randomEmbeddings(3, 7);
  embeddings[2].pop_back();
  EXPECT_EQ(failure([&] { plda.transform(embeddings); }),
            "Invalid configuration: Expected 256-dim embeddings, got 255");
  EXPECT_EQ(failure([&] { plda.transform(std::span<const float>(embeddings[2])); }),
            "Invalid configuration: Expected 256-dim embedding, got 255");
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(PLDATransformTest, FailedWarmUpIsLoggedAndTheTransformStillRuns) {
  // Fixed at two rows, the model refuses the one-row warm-up.
  const auto plda = transformWith(testsupport::pairDifferencePldaRhoModel(2));
  const auto rows = plda.transform(randomEmbeddings(2, 3));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][127], 2.0);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.level == platform::SystemLog::Level::debug && r.category == "OfflinePLDA" &&
           r.message.starts_with("PLDA warmup skipped due to error: ");
  }));
}

TEST_F(PLDATransformTest, ModelWithoutRhoOrWithFailingPredictionsFails) {
  const auto embeddings = randomEmbeddings(1, 5);
  EXPECT_EQ(failure([&] { transformWith(misnamedPldaRho()).transform(embeddings); }),
            "Processing failed: PldaRho model did not produce rho output");
  EXPECT_ANY_THROW(transformWith(failingPldaRho()).transform(embeddings));
  // Too few values are refused rather than read past the output.
  EXPECT_EQ(failure([&] { transformWith(shortPldaRho()).transform(embeddings); }),
            "Processing failed: PldaRho output holds 64 values, expected 128");
}

TEST_F(PLDATransformTest, StopRequestedEndsTheTransform) {
  const auto plda = transformWith(testsupport::pairDifferencePldaRhoModel());
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(plda.transform(randomEmbeddings(40, 1), stop.get_token()), platform::CancellationError);
}

TEST(PLDATransformScoreTest, CosineOfRhoVectors) {
  std::vector<double> unit(128, 0.0), diagonal(128, 0.0), ramp(128);
  unit[0] = 1;
  diagonal[0] = diagonal[1] = 1;
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(i) - 60.5;
  const std::vector<double> zeros(128, 0.0), short1(127, 1.0), short2(127, 1.0);
  auto opposite = ramp;
  for (double& x : opposite) x = -x;

  struct Case {
    const char* name;
    const std::vector<double>& a;
    const std::vector<double>& b;
    double score;
  };
  const Case cases[] = {
      {"itself", ramp, ramp, 1.0},
      {"fortyFiveDegrees", unit, diagonal, 0.7071068},
      {"opposite", ramp, opposite, -1.0},
      {"shortVectors", short1, short2, 0.0},
      {"lengthsDiffer", ramp, short1, 0.0},
      {"zeroVector", zeros, ramp, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(PLDATransform::score(c.a, c.b), c.score, 1e-7);
  }
}

}  // namespace
}  // namespace tesselaudio
