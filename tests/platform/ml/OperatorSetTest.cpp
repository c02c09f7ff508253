// Forms of operator sets 18 to 21 chosen by the version a network imports, and the refusal of sets
// the executor does not know.

#include <cmath>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Graph.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/ModelBuilder.h"

namespace platform {
namespace {

using testsupport::Attribute;
using testsupport::ElementType;
using testsupport::ModelBuilder;
using testsupport::TensorValue;
using ::testing::HasSubstr;

ml::Tensor floats(ml::Shape shape, std::vector<float> values) {
  ml::Tensor t(ml::ElementType::float32, std::move(shape));
  std::copy(values.begin(), values.end(), t.data<float>());
  return t;
}

std::vector<double> valuesOf(const ml::Tensor& t) {
  std::vector<double> out;
  for (int64_t i = 0; i < t.count(); ++i) out.push_back(t.data<float>()[i]);
  return out;
}

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& name) {
  ASSERT_EQ(actual.size(), expected.size()) << name;
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-5) << name << " element " << i;
}

// The message of the MLModelError `f` throws, or "" when it throws none.
template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const MLModelError& e) {
    return e.description();
  }
  return {};
}

const ml::Tensor kTwoByTwo = floats({2, 2}, {1, 2, 3, 4});

TEST(OperatorSetTest, ReduceTakesItsAxesAsAnInputFromSet18) {
  struct Case {
    const char* op;
    std::optional<std::vector<double>> axes;  // none: the input is left out
    int64_t noop;
    ml::Shape shape;
    std::vector<double> expected;
  };
  const double e = std::exp(1.0);
  const Case cases[] = {
      {"ReduceMean", std::vector<double>{1}, 0, {2}, {1.5, 3.5}},
      {"ReduceMax", std::vector<double>{1}, 0, {2}, {2, 4}},
      {"ReduceMin", std::vector<double>{1}, 0, {2}, {1, 3}},
      {"ReduceProd", std::vector<double>{1}, 0, {2}, {2, 12}},
      {"ReduceL1", std::vector<double>{1}, 0, {2}, {3, 7}},
      {"ReduceL2", std::vector<double>{1}, 0, {2}, {std::sqrt(5.0), 5}},
      {"ReduceLogSum", std::vector<double>{1}, 0, {2}, {std::log(3.0), std::log(7.0)}},
      {"ReduceLogSumExp", std::vector<double>{1}, 0, {2}, {std::log(e + e * e), std::log(std::pow(e, 3) + std::pow(e, 4))}},
      {"ReduceSumSquare", std::vector<double>{1}, 0, {2}, {5, 25}},
      {"ReduceSum", std::vector<double>{1}, 0, {2}, {3, 7}},
      {"ReduceMean", std::vector<double>{-2}, 0, {2}, {2, 3}},
      {"ReduceMax", std::vector<double>{-1}, 0, {2}, {2, 4}},
      {"ReduceMean", std::vector<double>{0, -1}, 0, {}, {2.5}},
      {"ReduceMean", std::nullopt, 0, {}, {2.5}},
      {"ReduceProd", std::vector<double>{}, 0, {}, {24}},
      {"ReduceMean", std::nullopt, 1, {2, 2}, {1, 2, 3, 4}},
      {"ReduceL2", std::vector<double>{}, 1, {2, 2}, {1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    const std::string name = fmt::format("{} axes {} noop {}", c.op, c.axes ? fmt::format("{}", fmt::join(*c.axes, ",")) : "left out", c.noop);
    ModelBuilder builder;
    builder.opset(18).input("x", ElementType::float32, {2, 2}).outputWithoutShape("y", ElementType::float32);
    const std::vector<Attribute> attributes = {{"keepdims", int64_t{0}}, {"noop_with_empty_axes", c.noop}};
    if (c.axes) {
      builder.initializer("axes", {ElementType::int64, {static_cast<int64_t>(c.axes->size())}, *c.axes});
      builder.node(c.op, {"x", "axes"}, {"y"}, attributes);
    } else {
      builder.node(c.op, {"x"}, {"y"}, attributes);
    }
    auto graph = ml::Graph::load(builder.serialize(), {});
    const auto y = graph->run({{"x", kTwoByTwo}}).at("y");
    EXPECT_EQ(y.shape(), c.shape) << name;
    expectNear(valuesOf(y), c.expected, name);
  }
}

TEST(OperatorSetTest, ReduceBeforeSet18StillReadsTheAxesAttribute) {
  ModelBuilder builder;
  builder.opset(17)
      .input("x", ElementType::float32, {2, 2})
      .outputWithoutShape("y", ElementType::float32)
      .node("ReduceMean", {"x"}, {"y"}, {{"axes", std::vector<int64_t>{1}}, {"keepdims", int64_t{0}}});
  const auto y = ml::Graph::load(builder.serialize(), {})->run({{"x", kTwoByTwo}}).at("y");
  expectNear(valuesOf(y), {1.5, 3.5}, "set 17");
}

TEST(OperatorSetTest, ComputedAxesThatAreWrongFailNamingTheNode) {
  struct Case {
    const char* name;
    TensorValue axes;
    const char* error;
  };
  const Case cases[] = {
      {"outside the rank", {ElementType::int64, {1}, {2}}, "axis 2 is outside rank 2"},
      {"below the rank", {ElementType::int64, {1}, {-3}}, "axis -3 is outside rank 2"},
      {"given twice", {ElementType::int64, {2}, {1, -1}}, "names axis -1 twice"},
      {"two-dimensional", {ElementType::int64, {1, 1}, {1}}, "1-D int64"},
      {"int32", {ElementType::int32, {1}, {1}}, "1-D int64"},
      {"a scalar", {ElementType::int64, {}, {1}}, "1-D int64"},
  };
  for (const auto& c : cases) {
    ModelBuilder builder;
    builder.opset(18)
        .input("x", ElementType::float32, {2, 2})
        .inputWithoutShape("axes", c.axes.type)
        .outputWithoutShape("y", ElementType::float32)
        .node("ReduceMax", {"x", "axes"}, {"y"})
        .named("peak");
    auto graph = ml::Graph::load(builder.serialize(), {});
    ml::Tensor axes(static_cast<ml::ElementType>(c.axes.type), c.axes.dims);
    for (size_t i = 0; i < c.axes.values.size(); ++i) {
      if (axes.type() == ml::ElementType::int64) axes.data<int64_t>()[i] = static_cast<int64_t>(c.axes.values[i]);
      else axes.data<int32_t>()[i] = static_cast<int32_t>(c.axes.values[i]);
    }
    const std::string error = errorOf([&] { graph->run({{"x", kTwoByTwo}, {"axes", axes}}); });
    EXPECT_THAT(error, HasSubstr("ReduceMax 'peak'")) << c.name;
    EXPECT_THAT(error, HasSubstr(c.error)) << c.name;
  }
}

TEST(OperatorSetTest, SplitWithNumOutputsGivesTheLastPartWhatIsLeft) {
  struct Case {
    int64_t length, parts;
    std::vector<int64_t> sizes;
  };
  const Case cases[] = {{10, 3, {4, 4, 2}}, {7, 2, {4, 3}}, {6, 3, {2, 2, 2}}, {1, 1, {1}}};
  for (const auto& c : cases) {
    ModelBuilder builder;
    builder.opset(18).input("x", ElementType::float32, {c.length});
    std::vector<std::string> outputs;
    for (int64_t k = 0; k < c.parts; ++k) {
      outputs.push_back(fmt::format("y{}", k));
      builder.outputWithoutShape(outputs.back(), ElementType::float32);
    }
    builder.node("Split", {"x"}, outputs, {{"num_outputs", c.parts}});
    std::vector<float> x(static_cast<size_t>(c.length));
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
    const auto results = ml::Graph::load(builder.serialize(), {})->run({{"x", floats({c.length}, x)}});
    int64_t start = 0;
    for (int64_t k = 0; k < c.parts; ++k) {
      const auto& part = results.at(outputs[static_cast<size_t>(k)]);
      ASSERT_EQ(part.shape(), ml::Shape{c.sizes[static_cast<size_t>(k)]}) << c.length << " in " << c.parts << " part " << k;
      for (int64_t i = 0; i < part.count(); ++i) EXPECT_EQ(part.data<float>()[i], static_cast<float>(start + i));
      start += part.count();
    }
  }
}

TEST(OperatorSetTest, SplitRefusesNumOutputsThatDisagreeWithItsOutputs) {
  struct Case {
    const char* name;
    std::vector<Attribute> attributes;
    bool withSizes;
    const char* error;
  };
  const Case cases[] = {
      {"more outputs than asked", {{"num_outputs", int64_t{3}}}, false, "has num_outputs 3 but 2 outputs"},
      {"sizes and num_outputs", {{"num_outputs", int64_t{2}}}, true, "both split sizes and num_outputs"},
      {"neither", {}, false, "needs split sizes or num_outputs"},
  };
  for (const auto& c : cases) {
    ModelBuilder builder;
    builder.opset(18)
        .input("x", ElementType::float32, {4})
        .outputWithoutShape("a", ElementType::float32)
        .outputWithoutShape("b", ElementType::float32)
        .initializer("sizes", {ElementType::int64, {2}, {2, 2}})
        .node("Split", c.withSizes ? std::vector<std::string>{"x", "sizes"} : std::vector<std::string>{"x"}, {"a", "b"},
              c.attributes);
    const std::string error = errorOf([&] { ml::Graph::load(builder.serialize(), {})->run({{"x", floats({4}, {1, 2, 3, 4})}}); });
    EXPECT_THAT(error, HasSubstr(c.error)) << c.name;
  }
}

TEST(OperatorSetTest, PadTakesAxesFromSet18AndWrapsFromSet19) {
  struct Case {
    const char* name;
    int opset;
    const char* mode;
    std::vector<double> pads;
    std::optional<std::vector<double>> axes;
    ml::Shape shape;
    std::vector<double> expected;
    const char* error;
  };
  const Case cases[] = {
      {"constant along the last axis", 18, "constant", {1, 2}, std::vector<double>{-1}, {2, 5}, {0, 1, 2, 0, 0, 0, 3, 4, 0, 0}, ""},
      {"edge along the first axis", 18, "edge", {0, 1}, std::vector<double>{0}, {3, 2}, {1, 2, 3, 4, 3, 4}, ""},
      {"wrap", 19, "wrap", {0, 1, 0, 2}, std::nullopt, {2, 5}, {2, 1, 2, 1, 2, 4, 3, 4, 3, 4}, ""},
      {"wrap with axes", 21, "wrap", {3, 0}, std::vector<double>{1}, {2, 5}, {2, 1, 2, 1, 2, 4, 3, 4, 3, 4}, ""},
      {"wrap before set 19", 18, "wrap", {0, 1, 0, 2}, std::nullopt, {}, {}, "unknown mode 'wrap'"},
      {"pads not matching the axes", 18, "constant", {1, 1, 1, 1}, std::vector<double>{1}, {}, {}, "has 4 pads for 1 axes"},
      {"an axis twice", 18, "constant", {1, 1, 1, 1}, std::vector<double>{1, -1}, {}, {}, "names axis -1 twice"},
  };
  for (const auto& c : cases) {
    ModelBuilder builder;
    builder.opset(c.opset)
        .input("x", ElementType::float32, {2, 2})
        .outputWithoutShape("y", ElementType::float32)
        .initializer("pads", {ElementType::int64, {static_cast<int64_t>(c.pads.size())}, c.pads});
    std::vector<std::string> inputs = {"x", "pads"};
    if (c.axes) {
      builder.initializer("axes", {ElementType::int64, {static_cast<int64_t>(c.axes->size())}, *c.axes});
      inputs.insert(inputs.end(), {"", "axes"});
    }
    builder.node("Pad", inputs, {"y"}, {{"mode", c.mode}}).named("pad");
    auto run = [&] { return ml::Graph::load(builder.serialize(), {})->run({{"x", kTwoByTwo}}).at("y"); };
    if (*c.error != '\0') {
      const std::string error = errorOf(run);
      EXPECT_THAT(error, HasSubstr("Pad 'pad'")) << c.name;
      EXPECT_THAT(error, HasSubstr(c.error)) << c.name;
      continue;
    }
    const auto y = run();
    EXPECT_EQ(y.shape(), c.shape) << c.name;
    expectNear(valuesOf(y), c.expected, c.name);
  }
}

TEST(OperatorSetTest, AveragePoolTakesDilationsFromSet19) {
  ModelBuilder builder;
  builder.opset(19)
      .input("x", ElementType::float32, {1, 1, 4})
      .outputWithoutShape("y", ElementType::float32)
      .node("AveragePool", {"x"}, {"y"}, {{"kernel_shape", std::vector<int64_t>{2}}, {"dilations", std::vector<int64_t>{2}}});
  const auto y = ml::Graph::load(builder.serialize(), {})->run({{"x", floats({1, 1, 4}, {1, 2, 3, 4})}}).at("y");
  EXPECT_EQ(y.shape(), (ml::Shape{1, 1, 2}));
  expectNear(valuesOf(y), {2, 3}, "dilated average");
}

ModelBuilder unchangedOperators(int opset) {
  ModelBuilder builder;
  builder.opset(opset)
      .input("x", ElementType::float32, {2, 2})
      .outputWithoutShape("y", ElementType::float32)
      .node("Relu", {"x"}, {"r"})
      .node("ReduceMean", {"r", "axes"}, {"m"})
      .named("mean")
      .node("Add", {"r", "m"}, {"y"})
      .initializer("axes", {ElementType::int64, {1}, {1}});
  return builder;
}

TEST(OperatorSetTest, SetsUpTo21LoadAndNewerOnesAreRefusedNamingNodeOperatorAndVersion) {
  for (int opset : {18, 19, 20, 21}) {
    auto graph = ml::Graph::load(unchangedOperators(opset).serialize(), {});
    expectNear(valuesOf(graph->run({{"x", kTwoByTwo}}).at("y")), {2.5, 3.5, 6.5, 7.5}, fmt::format("set {}", opset));
  }
  for (int opset : {22, 30}) {
    try {
      ml::Graph::load(unchangedOperators(opset).serialize(), {});
      ADD_FAILURE() << "set " << opset << " loaded";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::invalidModel);
      EXPECT_THAT(e.description(), HasSubstr("Relu"));
      EXPECT_THAT(e.description(), HasSubstr(fmt::format("operator set {}", opset)));
    }
  }
}

TEST(OperatorSetTest, ShapeErrorNamesTheNodeThatMadeTheInput) {
  // The axes attribute means nothing at set 18: ReduceMean reduces everything to a scalar, and the
  // Unsqueeze after it is the one that refuses.
  ModelBuilder builder;
  builder.opset(18)
      .input("x", ElementType::float32, {2, 2})
      .outputWithoutShape("y", ElementType::float32)
      .initializer("one", {ElementType::int64, {1}, {1}})
      .node("ReduceMean", {"x"}, {"m"}, {{"keepdims", int64_t{0}}})
      .named("ReduceMean_3")
      .node("Unsqueeze", {"m", "one"}, {"y"})
      .named("expand");
  const std::string error = errorOf([&] { ml::Graph::load(builder.serialize(), {})->run({{"x", kTwoByTwo}}); });
  EXPECT_THAT(error, HasSubstr("Unsqueeze 'expand'"));
  EXPECT_THAT(error, HasSubstr("Input 0 from node ReduceMean 'ReduceMean_3' has shape []"));
}

}  // namespace
}  // namespace platform
