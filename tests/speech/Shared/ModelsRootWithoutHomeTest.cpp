#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "speech/Shared/MLModelConfigurationUtils.h"

namespace tesselaudio {
namespace {

// Runs in a process of its own (one per test), so the environment may be changed for good here.
TEST(MLModelConfigurationUtilsTest, ModelsRootStaysAbsoluteWithoutHomeOrDataHome) {
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  const auto root = MLModelConfigurationUtils::defaultModelsDirectory();
  EXPECT_TRUE(root.is_absolute()) << root;
  EXPECT_EQ(root.filename(), "Models");
  EXPECT_EQ(root.parent_path().filename(), "TesselAudio");
}

}  // namespace
}  // namespace tesselaudio
