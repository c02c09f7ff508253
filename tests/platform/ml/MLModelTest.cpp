#include "platform/ml/MLModel.h"

#include <cmath>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/MLArrayBatchProvider.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
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
using testsupport::TensorValue;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr auto kFloat32 = MLMultiArrayDataType::float32;

class MLModelTest : public ::testing::Test {
 protected:
  std::shared_ptr<MLModel> load(const ModelBuilder& builder, const MLModelConfiguration& configuration = {}) {
    return std::make_shared<MLModel>(builder.writeBundle(folder_.path()), configuration);
  }

  static std::shared_ptr<MLMultiArray> output(const MLFeatureProvider& outputs, const std::string& name) {
    auto value = outputs.featureValue(name);
    if (!value) throw std::runtime_error("no output " + name);
    return value->multiArrayValue();
  }

  static std::vector<double> predict(const MLModel& model, const std::map<std::string, std::shared_ptr<MLMultiArray>>& inputs,
                                     const std::string& name, const MLPredictionOptions& options = {}) {
    auto outputs = model.prediction(MLDictionaryFeatureProvider(inputs), options);
    return arrayValues(*output(*outputs, name));
  }

  // y = x * w + b for x [1, 3], w [3, 2], b [2].
  static ModelBuilder linearLayer() {
    ModelBuilder builder("Linear");
    builder.input("x", ElementType::float32, {1, 3})
        .output("y", ElementType::float32, {1, 2})
        .initializer("w", {ElementType::float32, {3, 2}, {1, 2, 3, 4, 5, 6}})
        .initializer("b", {ElementType::float32, {2}, {0.5, -1}})
        .node("MatMul", {"x", "w"}, {"xw"})
        .node("Add", {"xw", "b"}, {"y"});
    return builder;
  }

  // y = 2 * x for x [2, 3].
  static ModelBuilder doubler(ElementType type = ElementType::float32) {
    ModelBuilder builder("Doubler");
    builder.input("x", type, {2, 3})
        .output("y", type, {2, 3})
        .initializer("two", {type, {}, {2}})
        .node("Mul", {"x", "two"}, {"y"});
    return builder;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(MLModelTest, LinearLayerMatchesHandComputation) {
  auto model = load(linearLayer());
  // [1, 2, 3] * w = [1+6+15, 2+8+18] = [22, 28]; plus b.
  EXPECT_THAT(predict(*model, {{"x", makeArray({1, 3}, {1, 2, 3})}}, "y"), ElementsAre(22.5, 27));
}

TEST_F(MLModelTest, OneDimensionalConvolutionMatchesHandComputation) {
  ModelBuilder builder("Conv");
  builder.input("x", ElementType::float32, {1, 1, 5})
      .output("y", ElementType::float32, {1, 2, 5})
      .initializer("w", {ElementType::float32, {2, 1, 3}, {1, 0, -1, 0.5, 0.5, 0.5}})
      .initializer("b", {ElementType::float32, {2}, {0, 10}})
      .node("Conv", {"x", "w", "b"}, {"y"}, {{"pads", std::vector<int64_t>{1, 1}}});
  auto model = load(builder);
  // Filter 0 is x[t-1] - x[t+1]; filter 1 the sum of three neighbours halved, plus 10.
  EXPECT_THAT(predict(*model, {{"x", makeArray({1, 1, 5}, {1, 2, 3, 4, 5})}}, "y"),
              ElementsAre(-2, -2, -2, -2, 4, 11.5, 13, 14.5, 16, 14.5));
}

TEST_F(MLModelTest, SoftmaxHeadGivesProbabilities) {
  ModelBuilder builder("Head");
  builder.input("x", ElementType::float32, {2, 2})
      .output("p", ElementType::float32, {2, 3})
      .initializer("w", {ElementType::float32, {2, 3}, {1, 0, 0, 0, 1, 0}})
      .node("MatMul", {"x", "w"}, {"logits"})
      .node("Softmax", {"logits"}, {"p"}, {{"axis", -1}});
  auto model = load(builder);
  const auto p = predict(*model, {{"x", makeArray({2, 2}, {0, 0, std::log(2.0), 0})}}, "p");
  // Row 0: logits [0, 0, 0]; row 1: [ln 2, 0, 0] -> [2, 1, 1] / 4.
  EXPECT_THAT(p, ::testing::Pointwise(::testing::DoubleNear(1e-6), std::vector<double>{1.0 / 3, 1.0 / 3, 1.0 / 3, 0.5, 0.25, 0.25}));
}

TEST_F(MLModelTest, ModelWithTwoOutputsReturnsBoth) {
  ModelBuilder builder("Two");
  builder.input("x", ElementType::float32, {3})
      .output("sum", ElementType::float32, {})
      .output("top", ElementType::int64, {})
      .node("ReduceSum", {"x"}, {"sum"}, {{"keepdims", 0}})
      .node("ArgMax", {"x"}, {"top"}, {{"keepdims", 0}});
  auto model = load(builder);
  auto outputs = model->prediction(MLDictionaryFeatureProvider({{"x", makeArray({3}, {1, 7, -2})}}));
  EXPECT_EQ(outputs->featureNames(), (std::set<std::string>{"sum", "top"}));
  EXPECT_THAT(arrayValues(*output(*outputs, "sum")), ElementsAre(6));
  // int64 results cross as int32 arrays.
  EXPECT_EQ(output(*outputs, "top")->dataType(), MLMultiArrayDataType::int32);
  EXPECT_THAT(arrayValues(*output(*outputs, "top")), ElementsAre(1));
}

TEST_F(MLModelTest, StatefulAccumulatorKeepsItsSumPerState) {
  ModelBuilder builder("Accumulator");
  builder.input("x", ElementType::float32, {2})
      .input("total", ElementType::float32, {2})
      .output("total_out", ElementType::float32, {2})
      .output("y", ElementType::float32, {2})
      .node("Add", {"total", "x"}, {"total_out"})
      .node("Identity", {"total_out"}, {"y"})
      .state("total");
  auto model = load(builder);
  EXPECT_EQ(model->modelDescription().inputDescriptionsByName.count("total"), 0u);
  EXPECT_EQ(model->modelDescription().outputDescriptionsByName.count("total_out"), 0u);
  ASSERT_EQ(model->modelDescription().stateDescriptionsByName.count("total"), 1u);
  EXPECT_EQ(model->modelDescription().stateDescriptionsByName.at("total").stateConstraint->bufferShape, (std::vector<int64_t>{2}));

  auto first = model->makeState();
  auto second = model->makeState();
  MLDictionaryFeatureProvider ones({{"x", makeArray({2}, {1, 2})}});
  model->prediction(ones, *first);
  auto outputs = model->prediction(ones, *first);
  EXPECT_THAT(arrayValues(*output(*outputs, "y")), ElementsAre(2, 4));
  EXPECT_THAT(arrayValues(*output(*model->prediction(ones, *second), "y")), ElementsAre(1, 2));
  first->withMultiArray("total", [](MLMultiArray& total) { EXPECT_THAT(arrayValues(total), ElementsAre(2, 4)); });
  EXPECT_THROW(model->prediction(ones), MLModelError);
}

TEST_F(MLModelTest, PaddedInputAndOutputArraysAreReadAndWrittenByStride) {
  auto model = load(doubler());
  // Rows padded to 16 elements, as the aligned model buffers are laid out.
  std::vector<float> in(32, 99.0f), out(32, -7.0f);
  for (int i = 0; i < 3; ++i) {
    in[static_cast<size_t>(i)] = static_cast<float>(i + 1);
    in[static_cast<size_t>(16 + i)] = static_cast<float>(i + 4);
  }
  auto input = std::make_shared<MLMultiArray>(in.data(), std::vector<int64_t>{2, 3}, kFloat32, std::vector<int64_t>{16, 1});
  auto backing = std::make_shared<MLMultiArray>(out.data(), std::vector<int64_t>{2, 3}, kFloat32, std::vector<int64_t>{16, 1});
  MLPredictionOptions options;
  options.outputBackings["y"] = backing;
  EXPECT_THAT(predict(*model, {{"x", input}}, "y", options), ElementsAre(2, 4, 6, 8, 10, 12));
  EXPECT_EQ(out[2], 6.0f);
  EXPECT_EQ(out[3], -7.0f);  // padding untouched
  EXPECT_EQ(out[16], 8.0f);
}

TEST_F(MLModelTest, OutputBackingsReceiveTheOutputs) {
  auto model = load(doubler());
  struct Case {
    const char* name;
    std::function<std::shared_ptr<MLMultiArray>()> backing;
    bool backingIsInput;
  };
  std::vector<float> padded(32, 0.0f);
  const Case cases[] = {
      {"float16BackingOfFloat32Output", [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 3}, MLMultiArrayDataType::float16); }, false},
      {"float64Backing", [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 3}, MLMultiArrayDataType::float64); }, false},
      {"stridedBacking",
       [&] {
         return std::make_shared<MLMultiArray>(padded.data(), std::vector<int64_t>{2, 3}, kFloat32, std::vector<int64_t>{16, 1});
       },
       false},
      {"backingThatIsAlsoTheInput", [] { return makeArray({2, 3}, {1, 2, 3, 4, 5, 6}); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto backing = c.backing();
    auto input = c.backingIsInput ? backing : makeArray({2, 3}, {1, 2, 3, 4, 5, 6});
    MLPredictionOptions options;
    options.outputBackings["y"] = backing;
    auto outputs = model->prediction(MLDictionaryFeatureProvider({{"x", input}}), options);
    EXPECT_EQ(output(*outputs, "y"), backing);  // the very same array
    EXPECT_THAT(arrayValues(*backing), ElementsAre(2, 4, 6, 8, 10, 12));
  }
}

TEST_F(MLModelTest, BackingOfWrongShapeOrNameFailsClearly) {
  auto model = load(doubler());
  MLDictionaryFeatureProvider inputs({{"x", makeArray({2, 3}, {1, 2, 3, 4, 5, 6})}});
  MLPredictionOptions wrongShape;
  wrongShape.outputBackings["y"] = std::make_shared<MLMultiArray>(std::vector<int64_t>{3, 2}, kFloat32);
  try {
    model->prediction(inputs, wrongShape);
    FAIL() << "accepted";
  } catch (const MLModelError& e) {
    EXPECT_EQ(e.errorCode(), MLModelError::Code::featureType);
    EXPECT_THAT(e.description(), HasSubstr("'y' has shape [3, 2], the output has shape [2, 3]"));
  }
  MLPredictionOptions wrongName;
  wrongName.outputBackings["z"] = std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 3}, kFloat32);
  EXPECT_THROW(model->prediction(inputs, wrongName), MLModelError);
}

TEST_F(MLModelTest, Float16AndFloat32ArraysFeedEitherKindOfInput) {
  struct Case {
    const char* name;
    ElementType networkType;
    MLMultiArrayDataType arrayType;
    MLMultiArrayDataType outputType;
  };
  const Case cases[] = {
      {"float16ArrayToFloat32Network", ElementType::float32, MLMultiArrayDataType::float16, kFloat32},
      {"float32ArrayToFloat16Network", ElementType::float16, kFloat32, MLMultiArrayDataType::float16},
      {"float64ArrayToFloat32Network", ElementType::float32, MLMultiArrayDataType::float64, kFloat32},
      {"int32ArrayToFloat32Network", ElementType::float32, MLMultiArrayDataType::int32, kFloat32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder folder;
    MLModel model(doubler(c.networkType).writeBundle(folder.path()));
    EXPECT_EQ(model.modelDescription().outputDescriptionsByName.at("y").multiArrayConstraint->dataType, c.outputType);
    auto outputs = model.prediction(MLDictionaryFeatureProvider({{"x", makeArray({2, 3}, {1, 2, 3, 4, 5, 6}, c.arrayType)}}));
    EXPECT_THAT(arrayValues(*output(*outputs, "y")), ElementsAre(2, 4, 6, 8, 10, 12));
  }
}

TEST_F(MLModelTest, DescriptionListsShapesTypesAndCreatorMetadata) {
  const std::string config = R"({"chunk_len": 6, "名前": "話者\n", "nested": {"a": [1, 2]}})";
  ModelBuilder builder = linearLayer();
  builder.metadataProperty("fifo_len", "188").metadataProperty("config", "overridden").creatorDefined("config", config).author("Tests");
  auto model = load(builder);
  const auto& description = model->modelDescription();
  const auto& x = description.inputDescriptionsByName.at("x");
  EXPECT_EQ(x.type, MLFeatureType::multiArray);
  EXPECT_EQ(x.multiArrayConstraint->shape, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(x.multiArrayConstraint->dataType, kFloat32);
  EXPECT_EQ(description.outputDescriptionsByName.at("y").multiArrayConstraint->shape, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(description.metadata.creatorDefined.at("config"), config);
  EXPECT_EQ(description.metadata.creatorDefined.at("fifo_len"), "188");
  EXPECT_EQ(description.metadata.author, "Tests");
}

TEST_F(MLModelTest, FlexibleInputsAcceptTheirShapesOnly) {
  ModelBuilder builder("Flexible");
  builder.input("x", ElementType::float32, {1, -1})
      .input("z", ElementType::float32, {-1})
      .output("y", ElementType::float32, {1, -1})
      .output("w", ElementType::float32, {-1})
      .node("Identity", {"x"}, {"y"})
      .node("Neg", {"z"}, {"w"})
      .enumeratedShapes("x", {{1, 2}, {1, 4}})
      .shapeRange("z", {{0, 8}});
  auto model = load(builder);
  const auto& x = *model->modelDescription().inputDescriptionsByName.at("x").multiArrayConstraint;
  EXPECT_EQ(x.shapeConstraint.type, MLMultiArrayShapeConstraintType::enumerated);
  EXPECT_EQ(x.shape, (std::vector<int64_t>{1, 2}));
  const auto& z = *model->modelDescription().inputDescriptionsByName.at("z").multiArrayConstraint;
  EXPECT_EQ(z.shapeConstraint.type, MLMultiArrayShapeConstraintType::range);
  EXPECT_EQ(z.shapeConstraint.sizeRangeForDimension, (std::vector<NSRange>{{0, 9}}));
  EXPECT_EQ(model->modelDescription().outputDescriptionsByName.at("w").multiArrayConstraint->shape, (std::vector<int64_t>{0}));

  auto run = [&](std::vector<int64_t> xShape, int64_t zLength) {
    auto xs = std::make_shared<MLMultiArray>(xShape, kFloat32);
    auto zs = std::make_shared<MLMultiArray>(std::vector<int64_t>{zLength}, kFloat32);
    return model->prediction(MLDictionaryFeatureProvider({{"x", xs}, {"z", zs}}));
  };
  EXPECT_EQ(output(*run({1, 4}, 7), "y")->shape(), (std::vector<int64_t>{1, 4}));
  EXPECT_EQ(output(*run({1, 2}, 0), "w")->count(), 0);
  EXPECT_THROW(run({1, 3}, 1), MLModelError);
  EXPECT_THROW(run({1, 2}, 9), MLModelError);
}

TEST_F(MLModelTest, ZeroElementTensorsAndUnusedInputsWork) {
  ModelBuilder builder("Empty");
  builder.input("x", ElementType::float32, {0, 3})
      .input("unused", ElementType::float32, {2})
      .output("y", ElementType::float32, {0, 3})
      .output("s", ElementType::float32, {3})
      .node("Relu", {"x"}, {"y"})
      .node("ReduceSum", {"x"}, {"s"}, {{"axes", std::vector<int64_t>{0}}, {"keepdims", 0}})
      .opset(11);
  auto model = load(builder);
  auto outputs = model->prediction(MLDictionaryFeatureProvider({{"x", makeArray({0, 3}, {})}, {"unused", makeArray({2}, {1, 2})}}));
  EXPECT_EQ(output(*outputs, "y")->shape(), (std::vector<int64_t>{0, 3}));
  EXPECT_THAT(arrayValues(*output(*outputs, "s")), ElementsAre(0, 0, 0));
}

TEST_F(MLModelTest, NumbersFeedOneElementInputs) {
  ModelBuilder builder("Scalar");
  builder.input("n", ElementType::int64, {1})
      .output("m", ElementType::int64, {1})
      .initializer("one", {ElementType::int64, {1}, {1}})
      .node("Add", {"n", "one"}, {"m"});
  auto model = load(builder);
  EXPECT_EQ(model->modelDescription().inputDescriptionsByName.at("n").multiArrayConstraint->dataType, MLMultiArrayDataType::int32);
  MLDictionaryFeatureProvider inputs(MLDictionaryFeatureProvider::Dictionary{{"n", std::make_shared<MLFeatureValue>(int64_t{41})}});
  EXPECT_THAT(arrayValues(*output(*model->prediction(inputs), "m")), ElementsAre(42));
}

TEST_F(MLModelTest, PredictionErrorsNameTheProblem) {
  auto model = load(linearLayer());
  struct Case {
    const char* name;
    MLDictionaryFeatureProvider::Dictionary inputs;
    const char* message;
  };
  const Case cases[] = {
      {"missingInput", {}, "Input 'x' is required"},
      {"wrongShape", {{"x", std::make_shared<MLFeatureValue>(makeArray({1, 4}, {1, 2, 3, 4}))}}, "'x' has shape [1, 4], the model expects [1, 3]"},
      {"textInsteadOfArray", {{"x", std::make_shared<MLFeatureValue>(std::string("hello"))}}, "'x' takes a multi-array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      model->prediction(MLDictionaryFeatureProvider(c.inputs));
      ADD_FAILURE() << "accepted";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::featureType);
      EXPECT_THAT(e.description(), HasSubstr(c.message));
    }
  }
}

TEST_F(MLModelTest, LoadErrorsNameTheProblem) {
  struct Case {
    const char* name;
    std::function<std::filesystem::path(const std::filesystem::path&)> make;
    MLModelError::Code code;
    const char* message;
  };
  const Case cases[] = {
      {"missingFolder", [](const auto& root) { return root / "Missing.mlmodelc"; }, MLModelError::Code::io, "No model folder"},
      {"coreMLBundleWithoutOnnx",
       [](const auto& root) {
         std::filesystem::create_directories(root / "Native.mlmodelc");
         std::ofstream(root / "Native.mlmodelc" / "coremldata.bin") << "native";
         return root / "Native.mlmodelc";
       },
       MLModelError::Code::unsupportedModelFormat, "holds no model.onnx"},
      {"damagedProtobuf",
       [](const auto& root) {
         auto bundle = linearLayer().writeBundle(root);
         std::ofstream(bundle / "model.onnx", std::ios::trunc) << "\x0a\xff\xff\xff garbage";
         return bundle;
       },
       MLModelError::Code::invalidModel, "not a valid ONNX protobuf"},
      {"unsupportedOperator",
       [](const auto& root) {
         ModelBuilder b("Lstm");
         b.input("x", ElementType::float32, {1}).output("y", ElementType::float32, {1}).node("GridSample", {"x"}, {"y"});
         return b.writeBundle(root);
       },
       MLModelError::Code::unsupportedOperator, "GridSample"},
      {"unsupportedElementType",
       [](const auto& root) {
         ModelBuilder b("Brain");
         b.input("x", ElementType::bfloat16, {1}).output("y", ElementType::bfloat16, {1}).node("Identity", {"x"}, {"y"});
         return b.writeBundle(root);
       },
       MLModelError::Code::unsupportedElementType, "type 16"},
      {"damagedMetadata",
       [](const auto& root) {
         auto bundle = linearLayer().writeBundle(root);
         std::ofstream(bundle / "metadata.json", std::ios::trunc) << "{\"states\": ";
         return bundle;
       },
       MLModelError::Code::invalidModel, "metadata.json"},
      {"stateWithoutOutput",
       [](const auto& root) {
         ModelBuilder b("State");
         b.input("s", ElementType::float32, {1}).output("y", ElementType::float32, {1}).node("Identity", {"s"}, {"y"}).state("s");
         return b.writeBundle(root);
       },
       MLModelError::Code::invalidModel, "no output 's_out'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder root;
    try {
      MLModel model(c.make(root.path()));
      ADD_FAILURE() << "loaded";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), c.code);
      EXPECT_THAT(e.description(), HasSubstr(c.message));
    }
  }
}

TEST_F(MLModelTest, NamedFunctionsAreListedWithoutLoadingAndLoadByName) {
  ModelBuilder plus("plus");
  plus.input("x", ElementType::float32, {2}).output("y", ElementType::float32, {2})
      .initializer("one", {ElementType::float32, {}, {1}}).node("Add", {"x", "one"}, {"y"});
  ModelBuilder builder = doubler();
  builder.function("plusOne", plus);
  const auto bundle = builder.writeBundle(folder_.path());
  EXPECT_THAT(MLModel::functionNames(bundle), ElementsAre("plusOne"));

  MLModelConfiguration configuration;
  configuration.functionName = "plusOne";
  MLModel function(bundle, configuration);
  EXPECT_THAT(predict(function, {{"x", makeArray({2}, {1, 2})}}, "y"), ElementsAre(2, 3));
  MLModel main(bundle);
  EXPECT_EQ(main.modelDescription().inputDescriptionsByName.at("x").multiArrayConstraint->shape, (std::vector<int64_t>{2, 3}));

  configuration.functionName = "missing";
  EXPECT_THROW(MLModel(bundle, configuration), MLModelError);
  // Listing reads only metadata.json: a damaged network does not stop it.
  std::ofstream(bundle / "model.onnx", std::ios::trunc) << "damaged";
  EXPECT_THAT(MLModel::functionNames(bundle), ElementsAre("plusOne"));
}

TEST_F(MLModelTest, ExternalWeightFilesLoad) {
  ModelBuilder builder = linearLayer();
  builder.externalWeights();
  const auto bundle = builder.writeBundle(folder_.path());
  ASSERT_TRUE(std::filesystem::exists(bundle / "weights.bin"));
  MLModel model(bundle);
  EXPECT_THAT(predict(model, {{"x", makeArray({1, 3}, {1, 2, 3})}}, "y"), ElementsAre(22.5, 27));
  std::filesystem::resize_file(bundle / "weights.bin", 8);
  EXPECT_THROW(MLModel{bundle}, MLModelError);
}

TEST_F(MLModelTest, BatchPredictionKeepsOrder) {
  auto model = load(linearLayer());
  std::vector<std::shared_ptr<const MLFeatureProvider>> batch;
  for (double v : {0.0, 1.0}) {
    batch.push_back(std::make_shared<MLDictionaryFeatureProvider>(
        std::map<std::string, std::shared_ptr<MLMultiArray>>{{"x", makeArray({1, 3}, {v, 0, 0})}}));
  }
  auto results = model->predictions(MLArrayBatchProvider(batch));
  ASSERT_EQ(results->count(), 2);
  EXPECT_THAT(arrayValues(*output(*results->features(0), "y")), ElementsAre(0.5, -1));
  EXPECT_THAT(arrayValues(*output(*results->features(1), "y")), ElementsAre(1.5, 1));
}

TEST_F(MLModelTest, OneModelServesSeveralThreadsAtOnce) {
  auto model = load(linearLayer());
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const double v = t * 1000 + i;
        const auto y = predict(*model, {{"x", makeArray({1, 3}, {v, 0, 0})}}, "y");
        if (y != std::vector<double>{v + 0.5, 2 * v - 1}) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace platform
