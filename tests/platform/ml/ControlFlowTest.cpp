#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Graph.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/DetectorModelBuilder.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::arrayValues;
using testsupport::ElementType;
using testsupport::makeArray;
using testsupport::ModelBuilder;
using testsupport::TensorValue;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace DetectorModelBuilder = testsupport::DetectorModelBuilder;

class ControlFlowTest : public ::testing::Test {
 protected:
  std::shared_ptr<MLModel> load(const ModelBuilder& builder) {
    return std::make_shared<MLModel>(builder.writeBundle(folder_.path()));
  }

  struct Step {
    std::shared_ptr<MLMultiArray> y, hn, cn;
  };

  static Step predict(const MLModel& model, const std::shared_ptr<MLMultiArray>& x, int64_t sampleRate,
                      const std::shared_ptr<MLMultiArray>& h, const std::shared_ptr<MLMultiArray>& c) {
    auto outputs = model.prediction(MLDictionaryFeatureProvider(
        {{"x", x}, {"sr", makeArray({1}, {static_cast<double>(sampleRate)}, MLMultiArrayDataType::int32)}, {"h", h}, {"c", c}}));
    return {outputs->featureValue("y")->multiArrayValue(), outputs->featureValue("hn")->multiArrayValue(),
            outputs->featureValue("cn")->multiArrayValue()};
  }

  static std::shared_ptr<MLMultiArray> chunk(std::mt19937& random, double loudness) {
    std::uniform_real_distribution<double> uniform(-loudness, loudness);
    std::vector<double> samples(512);
    for (double& s : samples) s = uniform(random);
    samples[17] = loudness;  // the peak is above zero whenever the chunk is loud
    return makeArray({1, 512}, samples);
  }

  static std::shared_ptr<MLMultiArray> zeroState() { return makeArray({1, 1, 64}, std::vector<double>(64, 0)); }

  static std::shared_ptr<const ml::Graph> loadGraph(const ModelBuilder& builder) {
    return ml::Graph::load(builder.serialize(), {});
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(ControlFlowTest, NestedIfDetectorMatchesThePlainLstmOverTenChunks) {
  auto nested = load(DetectorModelBuilder::nestedIf());
  auto plain = load(DetectorModelBuilder::plain());
  std::mt19937 random(56);
  auto nestedH = zeroState(), nestedC = zeroState(), plainH = zeroState(), plainC = zeroState();
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const auto x = chunk(random, 0.5);
    const Step a = predict(*nested, x, 16000, nestedH, nestedC);
    const Step b = predict(*plain, x, 16000, plainH, plainC);
    EXPECT_EQ(a.y->shape(), (std::vector<int64_t>{1, 1, 1, 64}));
    EXPECT_EQ(arrayValues(*a.y), arrayValues(*b.y));
    EXPECT_EQ(arrayValues(*a.hn), arrayValues(*b.hn));
    EXPECT_EQ(arrayValues(*a.cn), arrayValues(*b.cn));
    nestedH = a.hn, nestedC = a.cn, plainH = b.hn, plainC = b.cn;
  }
  EXPECT_NE(arrayValues(*nestedH), arrayValues(*zeroState()));
}

TEST_F(ControlFlowTest, SilentChunkAndOtherRatesTakeTheirBranches) {
  auto nested = load(DetectorModelBuilder::nestedIf());
  std::mt19937 random(7);
  const auto h = makeArray({1, 1, 64}, std::vector<double>(64, 0.25));
  const auto c = makeArray({1, 1, 64}, std::vector<double>(64, -0.5));
  struct Case {
    const char* name;
    double loudness;
    int64_t sampleRate;
    std::vector<int64_t> shape;
    std::vector<double> y;
  };
  const Case cases[] = {
      {"silent chunk", 0, 16000, {1, 1}, {0}},
      {"narrow band", 0.5, 8000, {2}, {-1, -1}},
      {"silent narrow band", 0, 8000, {2}, {-1, -1}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const Step step = predict(*nested, chunk(random, k.loudness), k.sampleRate, h, c);
    EXPECT_EQ(step.y->shape(), k.shape);
    EXPECT_EQ(arrayValues(*step.y), k.y);
    EXPECT_EQ(arrayValues(*step.hn), arrayValues(*h));
    EXPECT_EQ(arrayValues(*step.cn), arrayValues(*c));
  }
}

// A greedy decoder: each step looks up the scores of the next token in a table, takes the argmax
// and feeds it back until the end id 4 appears or the trip count runs out.
ModelBuilder greedyDecoder() {
  ModelBuilder body("step");
  body.input("i", ElementType::int64, {})
      .input("going", ElementType::bool_, {})
      .input("token", ElementType::int64, {1})
      .output("goOn", ElementType::bool_, {1})
      .output("next", ElementType::int64, {1})
      .output("emitted", ElementType::int64, {1})
      .node("Gather", {"table", "token"}, {"scores"}, {{"axis", 0}})
      .node("ArgMax", {"scores"}, {"next"}, {{"axis", 1}, {"keepdims", 0}})
      .node("Identity", {"next"}, {"emitted"})
      .node("Equal", {"next", "endId"}, {"ended"})
      .node("Not", {"ended"}, {"goOn"});
  // Row t scores the successors of token t: 0 -> 3 -> 1 -> 4 (end), 2 -> 2 forever.
  std::vector<double> table(25, 0);
  for (auto [from, to] : {std::pair{0, 3}, {3, 1}, {1, 4}, {2, 2}, {4, 0}}) table[static_cast<size_t>(from * 5 + to)] = 1;
  ModelBuilder decoder("Decoder");
  decoder.input("start", ElementType::int64, {1})
      .input("maxSteps", ElementType::int64, {})
      .output("last", ElementType::int64, {1})
      .output("tokens", ElementType::int64, {-1, 1})
      .initializer("table", {ElementType::float32, {5, 5}, table})
      .initializer("endId", {ElementType::int64, {1}, {4}})
      .initializer("always", {ElementType::bool_, {}, {1}})
      .node("Loop", {"maxSteps", "always", "start"}, {"last", "tokens"}, {{"body", body}});
  return decoder;
}

ml::Tensor int64Tensor(ml::Shape shape, std::vector<int64_t> values) {
  ml::Tensor t(ml::ElementType::int64, std::move(shape));
  std::copy(values.begin(), values.end(), t.data<int64_t>());
  return t;
}

TEST_F(ControlFlowTest, LoopDecoderStopsOnItsConditionOrTripCount) {
  auto graph = loadGraph(greedyDecoder());
  struct Case {
    const char* name;
    int64_t start, trips;
    int64_t last;
    std::vector<int64_t> tokens;
  };
  const Case cases[] = {
      {"reaches the end id", 0, 10, 4, {3, 1, 4}},
      {"runs out of trips", 2, 4, 2, {2, 2, 2, 2}},
      {"zero trips give the initial value", 3, 0, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto results = graph->run({{"start", int64Tensor({1}, {c.start})}, {"maxSteps", int64Tensor({}, {c.trips})}});
    EXPECT_EQ(results.at("last").integers(), std::vector<int64_t>{c.last});
    EXPECT_EQ(results.at("tokens").integers(), c.tokens);
    EXPECT_EQ(results.at("tokens").shape(), (ml::Shape{static_cast<int64_t>(c.tokens.size()), 1}));
  }
}

// If nodes nested `levels` deep; the innermost then-branch doubles x, read from the outermost graph.
ModelBuilder nestedIfs(int levels) {
  ModelBuilder inner("level" + std::to_string(levels));
  const std::string innermost = "y" + std::to_string(levels);
  inner.outputWithoutShape(innermost, ElementType::float32).node("Add", {"x", "x"}, {innermost});
  for (int level = levels - 1; level >= 0; --level) {
    const std::string y = level == 0 ? "y" : "y" + std::to_string(level);
    const std::string other = "else" + std::to_string(level);
    ModelBuilder otherwise(other);
    otherwise.outputWithoutShape(other, ElementType::float32).node("Neg", {"x"}, {other});
    ModelBuilder outer(level == 0 ? "Nest" : "level" + std::to_string(level));
    outer.outputWithoutShape(y, ElementType::float32)
        .node("If", {"go"}, {y}, {{"then_branch", inner}, {"else_branch", otherwise}});
    inner = outer;
  }
  inner.input("x", ElementType::float32, {2}).input("go", ElementType::bool_, {});
  return inner;
}

TEST_F(ControlFlowTest, IfNestsSixtyFourLevelsDeep) {
  auto graph = loadGraph(nestedIfs(ml::Graph::kMaxNesting));
  ml::Tensor x(ml::ElementType::float32, {2});
  x.data<float>()[0] = 1.5f;
  x.data<float>()[1] = -2;
  ml::Tensor go(ml::ElementType::bool_, {});
  go.data<bool>()[0] = true;
  const auto y = graph->run({{"x", x}, {"go", go}}).at("y");
  EXPECT_EQ(y.doubleAt(0), 3);
  EXPECT_EQ(y.doubleAt(1), -4);
}

ModelBuilder withIf(const ModelBuilder& thenBranch, const ModelBuilder& elseBranch) {
  ModelBuilder builder("Gate");
  builder.input("x", ElementType::float32, {2})
      .input("go", ElementType::bool_, {})
      .outputWithoutShape("y", ElementType::float32)
      .node("If", {"go"}, {"y"}, {{"then_branch", thenBranch}, {"else_branch", elseBranch}});
  return builder;
}

ModelBuilder branch(const std::string& y, const std::string& opType, const std::string& reads = "x") {
  ModelBuilder b(y);
  b.outputWithoutShape(y, ElementType::float32).node(opType, {reads}, {y});
  return b;
}

TEST_F(ControlFlowTest, BadSubgraphsFailTheLoadNamingTheNode) {
  ModelBuilder twoOutputs("two");
  twoOutputs.outputWithoutShape("a", ElementType::float32).outputWithoutShape("b", ElementType::float32)
      .node("Neg", {"x"}, {"a"}).node("Abs", {"x"}, {"b"});

  ModelBuilder shortBody("short");
  shortBody.input("i", ElementType::int64, {}).input("going", ElementType::bool_, {})
      .output("goOn", ElementType::bool_, {}).output("v", ElementType::float32, {2})
      .node("Identity", {"going"}, {"goOn"}).node("Neg", {"x"}, {"v"});
  ModelBuilder wrongLoop("WrongLoop");
  wrongLoop.input("x", ElementType::float32, {2}).input("n", ElementType::int64, {})
      .output("v", ElementType::float32, {2})
      .node("Loop", {"n", "", "x"}, {"v"}, {{"body", shortBody}});

  ModelBuilder fullBody("full");
  fullBody.input("i", ElementType::int64, {}).input("going", ElementType::bool_, {}).input("state", ElementType::float32, {2})
      .output("goOn", ElementType::bool_, {}).output("v", ElementType::float32, {2})
      .node("Identity", {"going"}, {"goOn"}).node("Neg", {"state"}, {"v"});
  ModelBuilder endless("Endless");
  endless.input("x", ElementType::float32, {2}).output("v", ElementType::float32, {2})
      .node("Loop", {"", "", "x"}, {"v"}, {{"body", fullBody}});

  struct Case {
    const char* name;
    ModelBuilder builder;
    MLModelError::Code code;
    std::vector<std::string> mentions;
  };
  const Case cases[] = {
      {"branch output count", withIf(twoOutputs, branch("n", "Neg")), MLModelError::Code::invalidModel, {"If", "then_branch gives 2 outputs for 1"}},
      {"loop body input count", wrongLoop, MLModelError::Code::invalidModel, {"Loop", "body takes 2 inputs, the loop gives 3"}},
      {"name no scope defines", withIf(branch("t", "Neg", "ghost"), branch("n", "Neg")), MLModelError::Code::invalidModel, {"If", "Neg", "'ghost'"}},
      {"loop without an end", endless, MLModelError::Code::invalidModel, {"Loop", "could never end"}},
      {"nested too deep", nestedIfs(ml::Graph::kMaxNesting + 1), MLModelError::Code::invalidModel, {"If", "deeper than 64"}},
      {"unsupported operator in an untaken branch", withIf(branch("t", "Neg"), branch("g", "GridSample")),
       MLModelError::Code::unsupportedOperator, {"If", "GridSample"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      loadGraph(c.builder);
      ADD_FAILURE() << "loaded";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), c.code) << e.description();
      for (const auto& text : c.mentions) EXPECT_THAT(e.description(), HasSubstr(text));
    }
  }
}

}  // namespace
}  // namespace platform
