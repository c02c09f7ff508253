#include <cstdlib>
#include <fstream>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::ElementType;
using testsupport::ModelBuilder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Compiled folders go to $TMPDIR; each test points it at a folder of its own so it can see exactly
// what compiling leaves behind.
class CompileModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TMPDIR");
    previous_ = previous ? std::optional<std::string>(previous) : std::nullopt;
    setenv("TMPDIR", scratch_.path().c_str(), 1);
  }
  void TearDown() override {
    if (previous_) setenv("TMPDIR", previous_->c_str(), 1);
    else unsetenv("TMPDIR");
  }

  size_t entriesInTmpdir() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(scratch_.path()), std::filesystem::directory_iterator()));
  }

  static ModelBuilder squarer() {
    ModelBuilder builder("Squarer");
    builder.input("x", ElementType::float32, {3}).output("y", ElementType::float32, {3}).node("Mul", {"x", "x"}, {"y"});
    return builder;
  }

  testsupport::TemporaryFolder packages_;
  testsupport::TemporaryFolder scratch_;
  std::optional<std::string> previous_;
};

TEST_F(CompileModelTest, CompiledPackageLoadsAndPredictsAndGoesAwayWithTheModel) {
  ModelBuilder builder = squarer();
  builder.externalWeights().creatorDefined("config", "{\"a\": 1}");
  const auto package = builder.writePackage(packages_.path());
  const auto compiled = MLModel::compileModel(package);
  EXPECT_EQ(compiled.filename(), "Squarer.mlmodelc");
  EXPECT_TRUE(std::filesystem::exists(compiled / "coremldata.bin"));
  EXPECT_TRUE(compiled.string().starts_with(scratch_.path().string()));
  {
    MLModel model(compiled);
    auto outputs = model.prediction(MLDictionaryFeatureProvider({{"x", testsupport::makeArray({3}, {1, -2, 3})}}));
    EXPECT_THAT(testsupport::arrayValues(*outputs->featureValue("y")->multiArrayValue()), ElementsAre(1, 4, 9));
    EXPECT_EQ(model.modelDescription().metadata.creatorDefined.at("config"), "{\"a\": 1}");
  }
  EXPECT_FALSE(std::filesystem::exists(compiled));
  EXPECT_EQ(entriesInTmpdir(), 0u);
  EXPECT_TRUE(std::filesystem::exists(package / "model.onnx"));
}

TEST_F(CompileModelTest, FailuresNameThePackageAndLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::function<std::filesystem::path(const std::filesystem::path&)> make;
    const char* message;
  };
  const Case cases[] = {
      {"missingPackage", [](const auto& root) { return root / "Missing.mlpackage"; }, "No model folder"},
      {"noModelFile",
       [](const auto& root) {
         std::filesystem::create_directories(root / "Empty.mlpackage");
         return root / "Empty.mlpackage";
       },
       "no model.onnx"},
      {"damagedModelFile",
       [](const auto& root) {
         auto package = squarer().writePackage(root);
         std::ofstream(package / "model.onnx", std::ios::trunc) << "not a protobuf at all";
         return package;
       },
       "not a valid ONNX protobuf"},
      {"unsupportedOperator",
       [](const auto& root) {
         ModelBuilder b("Sampler");
         b.input("x", ElementType::float32, {1}).output("y", ElementType::float32, {1}).node("GridSample", {"x"}, {"y"});
         return b.writePackage(root);
       },
       "Unsupported operator GridSample"},
      {"unsupportedElementType",
       [](const auto& root) {
         ModelBuilder b("Text");
         b.input("x", ElementType::string, {1}).output("y", ElementType::string, {1}).node("Identity", {"x"}, {"y"});
         return b.writePackage(root);
       },
       "STRING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto root = packages_.path() / c.name;
    std::filesystem::create_directories(root);
    const auto package = c.make(root);
    try {
      MLModel::compileModel(package);
      ADD_FAILURE() << "compiled";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::compile);
      EXPECT_THAT(e.description(), HasSubstr(package.string()));
      EXPECT_THAT(e.description(), HasSubstr(c.message));
    }
    EXPECT_EQ(entriesInTmpdir(), 0u);
  }
}

}  // namespace
}  // namespace platform
