#include "speech/Shared/MLModelConfigurationUtils.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

// Sets or unsets an environment variable for the test's lifetime.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(MLModelConfigurationUtilsTest, DefaultConfigurationAllowsLowPrecisionAccumulation) {
  for (auto units : {MLComputeUnits::cpuOnly, MLComputeUnits::cpuAndGPU, MLComputeUnits::all,
                     MLComputeUnits::cpuAndNeuralEngine}) {
    SCOPED_TRACE(static_cast<int>(units));
    const auto configuration = MLModelConfigurationUtils::defaultConfiguration(units);
    EXPECT_EQ(configuration.computeUnits, units);
    EXPECT_TRUE(configuration.allowLowPrecisionAccumulationOnGPU);
    EXPECT_FALSE(configuration.functionName.has_value());
  }
}

TEST(MLModelConfigurationUtilsTest, ModelsRootLiesInTheDataHome) {
  const fs::path home = std::getenv("HOME");
  struct Case {
    const char* name;
    std::optional<std::string> dataHome;
    std::optional<Repo> repo;
    fs::path expected;
  };
  const Case cases[] = {
      {"data home set", "/srv/data", std::nullopt, "/srv/data/TesselAudio/Models"},
      {"with a repository", "/srv/data", Repo::sortformer, "/srv/data/TesselAudio/Models/sortformer"},
      {"with a nested folder", "/srv/data", Repo::parakeetEou160,
       "/srv/data/TesselAudio/Models/parakeet-eou-streaming/160ms"},
      {"data home unset", std::nullopt, std::nullopt, home / ".local/share/TesselAudio/Models"},
      {"relative data home is ignored", "relative/data", Repo::vad,
       home / ".local/share/TesselAudio/Models/silero-vad"},
      {"empty data home is ignored", "", std::nullopt, home / ".local/share/TesselAudio/Models"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedVariable dataHome("XDG_DATA_HOME", c.dataHome);
    EXPECT_EQ(MLModelConfigurationUtils::defaultModelsDirectory(c.repo), c.expected);
  }
}

TEST(MLModelConfigurationUtilsTest, ModelsRootIsNotCreated) {
  const auto root = MLModelConfigurationUtils::defaultModelsDirectory(Repo::sortformer);
  EXPECT_EQ(root, fs::path(std::getenv("XDG_DATA_HOME")) / "TesselAudio/Models/sortformer");
  EXPECT_FALSE(fs::exists(root.parent_path().parent_path()));
}

}  // namespace
}  // namespace tesselaudio
