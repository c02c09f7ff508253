#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Graph.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::ElementType;
using testsupport::ModelBuilder;
using ::testing::HasSubstr;

ml::Tensor floats(ml::Shape shape, std::vector<float> values) {
  ml::Tensor t(ml::ElementType::float32, std::move(shape));
  std::copy(values.begin(), values.end(), t.data<float>());
  return t;
}

ml::Tensor int64Scalar(int64_t value) {
  ml::Tensor t(ml::ElementType::int64, {});
  t.data<int64_t>()[0] = value;
  return t;
}

// Splits x [6] into three pairs, then reads, erases and counts at the given positions.
ModelBuilder pairs() {
  ModelBuilder builder("Pairs");
  builder.input("x", ElementType::float32, {6})
      .input("at", ElementType::int64, {})
      .input("erase", ElementType::int64, {})
      .output("picked", ElementType::float32, {2})
      .output("left", ElementType::int64, {})
      .initializer("two", {ElementType::int64, {}, {2}})
      .node("SplitToSequence", {"x", "two"}, {"parts"})
      .node("SequenceAt", {"parts", "at"}, {"picked"}, {}, "")
      .node("SequenceErase", {"parts", "erase"}, {"rest"})
      .node("SequenceLength", {"rest"}, {"left"});
  return builder;
}

TEST(SequenceTest, PositionsCountFromEitherEndAndOutsideOnesFailNamingTheNode) {
  auto graph = ml::Graph::load(pairs().serialize(), {});
  const auto x = floats({6}, {1, 2, 3, 4, 5, 6});
  struct Case {
    const char* name;
    int64_t at, erase;
    std::vector<double> picked;
    std::string error;
  };
  const Case cases[] = {
      {"first", 0, 0, {1, 2}, ""},
      {"last from the end", -1, -3, {5, 6}, ""},
      {"read past the end", 3, 0, {}, "SequenceAt: position 3 is outside a sequence of 3 elements"},
      {"read before the start", -4, 0, {}, "SequenceAt: position -4"},
      {"erase past the end", 0, 3, {}, "SequenceErase: position 3 is outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      auto results = graph->run({{"x", x}, {"at", int64Scalar(c.at)}, {"erase", int64Scalar(c.erase)}});
      EXPECT_TRUE(c.error.empty());
      EXPECT_EQ(results.at("picked").doubleAt(0), c.picked.at(0));
      EXPECT_EQ(results.at("picked").doubleAt(1), c.picked.at(1));
      EXPECT_EQ(results.at("left").integerAt(0), 2);
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::generic);
      EXPECT_THAT(e.description(), HasSubstr(c.error)) << "unexpected failure";
      EXPECT_FALSE(c.error.empty()) << e.description();
    }
  }
}

TEST(SequenceTest, GraphTakesAndGivesSequencesAndOptionals) {
  ModelBuilder builder("Passing");
  builder.input("x", ElementType::float32, {2})
      .output("listed", ElementType::float32, {2})
      .output("present", ElementType::bool_, {})
      .sequenceOutput("two", ElementType::float32)
      .initializer("rows", {ElementType::int64, {1}, {0}})
      .node("SequenceEmpty", {}, {"empty"})
      .node("SequenceInsert", {"empty", "x"}, {"one"})
      .node("SequenceInsert", {"one", "x"}, {"two"})
      .node("ConcatFromSequence", {"two"}, {"joined"}, {{"axis", 0}, {"new_axis", 1}})
      .node("ReduceSum", {"joined", "rows"}, {"listed"}, {{"keepdims", 0}})
      .node("Optional", {"x"}, {"maybe"})
      .node("OptionalHasElement", {"maybe"}, {"present"});
  auto graph = ml::Graph::load(builder.serialize(), {});
  auto results = graph->runValues({{"x", floats({2}, {1.5f, -1})}});
  EXPECT_EQ(results.at("listed").tensor().doubleAt(0), 3);
  EXPECT_EQ(results.at("listed").tensor().doubleAt(1), -2);
  EXPECT_TRUE(results.at("present").tensor().data<bool>()[0]);
  ASSERT_TRUE(results.at("two").isSequence());
  EXPECT_EQ(results.at("two").elements().size(), 2u);
  EXPECT_THROW(graph->run({{"x", floats({2}, {1, 2})}}), MLModelError);  // "two" is no tensor
}

TEST(SequenceTest, ModelRefusesValuesThatAreNoMultiArraysNamingThem) {
  testsupport::TemporaryFolder folder;
  ModelBuilder sequenceOut("SequenceOut");
  sequenceOut.input("x", ElementType::float32, {2}).sequenceOutput("items", ElementType::float32).node("SequenceConstruct", {"x"}, {"items"});
  ModelBuilder stringIn("StringIn");
  stringIn.input("words", ElementType::string, {2}).output("y", ElementType::string, {2}).node("Identity", {"words"}, {"y"});
  ModelBuilder stringOut("StringOut");
  stringOut.input("x", ElementType::float32, {2}).output("text", ElementType::string, {2})
      .node("Cast", {"x"}, {"text"}, {{"to", static_cast<int64_t>(ElementType::string)}});
  struct Case {
    const char* name;
    const ModelBuilder& builder;
    const char* mentions;
  };
  const Case cases[] = {
      {"sequence output", sequenceOut, "Output 'items'"},
      {"string input", stringIn, "Input 'words'"},
      {"string output", stringOut, "Output 'text'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NO_THROW(ml::Graph::load(c.builder.serialize(), {}));
    try {
      MLModel model(c.builder.writeBundle(folder.path()));
      ADD_FAILURE() << "loaded";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::unsupportedElementType);
      EXPECT_THAT(e.description(), HasSubstr(c.mentions));
    }
  }
}

}  // namespace
}  // namespace platform
