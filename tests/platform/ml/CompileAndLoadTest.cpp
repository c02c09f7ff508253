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

// $TMPDIR points at a folder of the test's own, so that what compiling leaves there can be listed.
class CompileAndLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv("TMPDIR")) previous_ = previous;
    setenv("TMPDIR", scratch_.path().c_str(), 1);
  }
  void TearDown() override {
    if (previous_) setenv("TMPDIR", previous_->c_str(), 1);
    else unsetenv("TMPDIR");
  }

  std::set<std::filesystem::path> tmpdirEntries() const {
    std::set<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.path())) entries.insert(entry.path());
    return entries;
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

TEST_F(CompileAndLoadTest, LeavesTmpdirAsItWasAlsoWhenLoadingFails) {
  std::ofstream(scratch_.path() / "already-here") << "kept";
  const auto before = tmpdirEntries();
  const auto good = squarer().writePackage(packages_.path() / "good");
  auto damaged = squarer().writePackage(packages_.path() / "damaged");
  std::ofstream(damaged / "model.onnx", std::ios::trunc) << "\x08\x01garbage";
  // Compiles (the network is fine) but cannot load: the declared state is no input of the network.
  ModelBuilder stateless = squarer();
  stateless.state("missing");
  const auto unloadable = stateless.writePackage(packages_.path() / "unloadable");

  std::vector<std::shared_ptr<MLModel>> models;
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    if (i == 7) {
      EXPECT_THROW(MLModel::compileAndLoad(damaged), MLModelError);
      continue;
    }
    if (i == 13) {
      try {
        MLModel::compileAndLoad(unloadable);
        ADD_FAILURE() << "loaded";
      } catch (const MLModelError& e) {
        EXPECT_EQ(e.errorCode(), MLModelError::Code::invalidModel);
      }
      EXPECT_EQ(tmpdirEntries().size(), before.size() + models.size());
      continue;
    }
    models.push_back(MLModel::compileAndLoad(good));
    auto outputs = models.back()->prediction(MLDictionaryFeatureProvider({{"x", testsupport::makeArray({3}, {1, -2, 3})}}));
    EXPECT_THAT(testsupport::arrayValues(*outputs->featureValue("y")->multiArrayValue()), ElementsAre(1, 4, 9));
  }
  EXPECT_EQ(models.size(), 18u);
  models.clear();
  EXPECT_EQ(tmpdirEntries(), before);
}

}  // namespace
}  // namespace platform
