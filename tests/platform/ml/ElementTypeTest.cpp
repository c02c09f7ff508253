#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Graph.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::arrayValues;
using testsupport::ElementType;
using testsupport::makeArray;
using testsupport::ModelBuilder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto kInt32 = MLMultiArrayDataType::int32;

// y = x + x in the given integer type.
ModelBuilder doubler(ElementType type) {
  ModelBuilder builder("Doubler");
  builder.input("x", type, {3}).output("y", type, {3}).node("Add", {"x", "x"}, {"y"});
  return builder;
}

TEST(ElementTypeTest, IntegerValuesCrossAsInt32AndValuesOutsideTheirTypeAreRefused) {
  testsupport::TemporaryFolder folder;
  struct Case {
    const char* name;
    ElementType type;
    std::vector<double> x;
    std::vector<double> y;          // when it runs
    std::string error;              // else: featureType mentioning this
  };
  const Case cases[] = {
      {"uint8 wraps like the type", ElementType::uint8, {1, 100, 200}, {2, 200, 144}, ""},
      {"int8 wraps like the type", ElementType::int8, {-3, 64, 127}, {-6, -128, -2}, ""},
      {"uint16", ElementType::uint16, {0, 1000, 40000}, {0, 2000, 14464}, ""},
      {"int16", ElementType::int16, {-300, 5, 16000}, {-600, 10, 32000}, ""},
      {"uint8 input of 300", ElementType::uint8, {1, 300, 2}, {}, "Input 'x' holds 300 at element 1"},
      {"uint16 input of -1", ElementType::uint16, {-1, 0, 0}, {}, "Input 'x' holds -1 at element 0"},
      {"uint32 output past int32", ElementType::uint32, {1, 2, 2000000000}, {}, "Output 'y' holds 4000000000 at element 2"},
      {"uint64 output past int32", ElementType::uint64, {1, 2147483647, 0}, {}, "Output 'y' holds 4294967294"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bundle = doubler(c.type).writeBundle(folder.path() / c.name);
    MLModel model(bundle);
    EXPECT_EQ(model.modelDescription().inputDescriptionsByName.at("x").multiArrayConstraint->dataType, kInt32);
    EXPECT_EQ(model.modelDescription().outputDescriptionsByName.at("y").multiArrayConstraint->dataType, kInt32);
    // -1 and 300 reach the model unchanged in a double array.
    const auto x = makeArray({3}, c.x, MLMultiArrayDataType::float64);
    try {
      auto outputs = model.prediction(MLDictionaryFeatureProvider({{"x", x}}));
      const auto y = outputs->featureValue("y")->multiArrayValue();
      EXPECT_TRUE(c.error.empty());
      EXPECT_EQ(y->dataType(), kInt32);
      EXPECT_EQ(arrayValues(*y), c.y);
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::featureType);
      EXPECT_FALSE(c.error.empty()) << e.description();
      EXPECT_THAT(e.description(), HasSubstr(c.error));
    }
  }
}

ml::Tensor strings(std::vector<std::string> values) {
  ml::Tensor t(ml::ElementType::string, {static_cast<int64_t>(values.size())});
  std::copy(values.begin(), values.end(), t.data<std::string>());
  return t;
}

ml::Tensor floats(std::vector<float> values) {
  ml::Tensor t(ml::ElementType::float32, {static_cast<int64_t>(values.size())});
  std::copy(values.begin(), values.end(), t.data<float>());
  return t;
}

std::shared_ptr<const ml::Graph> caster(ElementType from, ElementType to) {
  ModelBuilder builder("Caster");
  builder.input("x", from, {-1}).output("y", to, {-1}).node("Cast", {"x"}, {"y"}, {{"to", static_cast<int64_t>(to)}});
  return ml::Graph::load(builder.serialize(), {});
}

TEST(ElementTypeTest, FloatsBecomeTheShortestTextThatReadsBack) {
  const auto y = caster(ElementType::float32, ElementType::string)
                     ->run({{"x", floats({0.47892547f, 0.1f, -2.5f, 1e-5f, 3e38f, NAN, -INFINITY})}})
                     .at("y");
  ASSERT_EQ(y.type(), ml::ElementType::string);
  const std::string* text = y.data<std::string>();
  EXPECT_THAT(std::vector<std::string>(text, text + y.count()),
              ElementsAre("0.47892547", "0.1", "-2.5", "1e-05", "3e+38", "NaN", "-INF"));
}

TEST(ElementTypeTest, TextReadsAsFloatsAndOtherTextFailsNamingTheNode) {
  const auto graph = caster(ElementType::string, ElementType::float32);
  const auto y = graph->run({{"x", strings({"0.47892547", "-1e3", "NaN", "INF", "+INF", "-INF", "inf"})}}).at("y");
  EXPECT_EQ(y.data<float>()[0], 0.47892547f);
  EXPECT_EQ(y.data<float>()[1], -1000.0f);
  EXPECT_TRUE(std::isnan(y.data<float>()[2]));
  EXPECT_EQ(y.data<float>()[3], INFINITY);
  EXPECT_EQ(y.data<float>()[4], INFINITY);
  EXPECT_EQ(y.data<float>()[5], -INFINITY);
  EXPECT_EQ(y.data<float>()[6], INFINITY);
  for (const char* bad : {"abc", "", "1.5x", "--1", "+-2", " 1"}) {
    SCOPED_TRACE(bad);
    try {
      graph->run({{"x", strings({"1", bad})}});
      ADD_FAILURE() << "read";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::generic);
      EXPECT_THAT(e.description(), HasSubstr("Cast"));
      EXPECT_THAT(e.description(), HasSubstr(std::string("\"") + bad + "\""));
    }
  }
}

TEST(ElementTypeTest, StringsMoveThroughGatherConcatAndWhere) {
  ModelBuilder builder("Words");
  builder.input("words", ElementType::string, {3})
      .input("pick", ElementType::bool_, {3})
      .output("picked", ElementType::string, {3})
      .output("joined", ElementType::string, {5})
      .initializer("order", {ElementType::int64, {2}, {2, 0}})
      .initializer("blank", {ElementType::string, {1}, {}, {"-"}})
      .node("Gather", {"words", "order"}, {"reordered"}, {{"axis", 0}})
      .node("Concat", {"words", "reordered"}, {"joined"}, {{"axis", 0}})
      .node("Where", {"pick", "words", "blank"}, {"picked"});
  const auto graph = ml::Graph::load(builder.serialize(), {});
  ml::Tensor pick(ml::ElementType::bool_, {3});
  pick.data<bool>()[1] = true;
  auto results = graph->run({{"words", strings({"こんにちは", "a longer text than the small buffer", "z"})}, {"pick", pick}});
  auto texts = [](const ml::Tensor& t) { return std::vector<std::string>(t.data<std::string>(), t.data<std::string>() + t.count()); };
  EXPECT_THAT(texts(results.at("joined")),
              ElementsAre("こんにちは", "a longer text than the small buffer", "z", "z", "こんにちは"));
  EXPECT_THAT(texts(results.at("picked")), ElementsAre("-", "a longer text than the small buffer", "-"));
}

}  // namespace
}  // namespace platform
