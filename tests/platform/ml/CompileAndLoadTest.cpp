#include <cstdlib>
#include <fstream>
#include <set>

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

std::set<std::filesystem::path> entriesOf(const std::filesystem::path& folder) {
  std::set<std::filesystem::path> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) entries.insert(entry.path());
  return entries;
}

TEST(CompileAndLoadTest, LeavesTmpdirAsItWasAlsoWhenLoadingFails) {
  testsupport::TemporaryFolder packages, scratch;
  const std::string previous = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  setenv("TMPDIR", scratch.path().c_str(), 1);
  std::ofstream(scratch.path() / "already-here") << "kept";
  const auto before = entriesOf(scratch.path());
  ModelBuilder cuber("Cuber");
  cuber.input("x", ElementType::float32, {3}).output("y", ElementType::float32, {3})
      .node("Mul", {"x", "x"}, {"xx"}).node("Mul", {"xx", "x"}, {"y"});
  const auto good = cuber.writePackage(packages.path() / "good");
  auto damaged = cuber.writePackage(packages.path() / "damaged");
  std::ofstream(damaged / "model.onnx", std::ios::trunc) << "\x08\x01garbage";
  // Compiles (the network is fine) but cannot load: the declared state is no input of the network.
  cuber.state("missing");
  const auto unloadable = cuber.writePackage(packages.path() / "unloadable");

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
      EXPECT_EQ(entriesOf(scratch.path()).size(), before.size() + models.size());
      continue;
    }
    models.push_back(MLModel::compileAndLoad(good));
    auto outputs = models.back()->prediction(MLDictionaryFeatureProvider({{"x", testsupport::makeArray({3}, {1, -2, 3})}}));
    EXPECT_THAT(testsupport::arrayValues(*outputs->featureValue("y")->multiArrayValue()), ElementsAre(1, -8, 27));
  }
  EXPECT_EQ(models.size(), 18u);
  models.clear();
  EXPECT_EQ(entriesOf(scratch.path()), before);
  previous.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", previous.c_str(), 1);
}

}  // namespace
}  // namespace platform
