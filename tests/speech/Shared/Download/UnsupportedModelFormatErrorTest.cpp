#include "speech/Shared/Download/UnsupportedModelFormatError.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gmock/gmock.h>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Repo.h"
#include "tests/support/HubFake.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testsupport::ElementType;
using testsupport::HubFake;
using testsupport::ModelBuilder;

constexpr const char* kSortformer = "TesselInference/diar-streaming-sortformer-coreml";
constexpr const char* kModel = "Model.mlmodelc";

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A network this build cannot run comes back the same from the hub: it is downloaded once, kept,
// and every later load fails without a second download.
TEST(UnsupportedModelFormatErrorTest, NetworkTheRuntimeCannotRunIsDownloadedOnceAndKept) {
  struct Case {
    const char* name;
    std::function<void(ModelBuilder&)> build;
    const char* needs;
  };
  const Case cases[] = {
      {"unknown operator",
       [](ModelBuilder& model) {
         model.input("x", ElementType::float32, {1, 2})
             .output("y", ElementType::float32, {1, 2})
             .node("NoSuchOperator", {"x"}, {"y"});
       },
       "NoSuchOperator"},
      {"unknown element type",
       [](ModelBuilder& model) {
         constexpr auto kBfloat16 = static_cast<ElementType>(16);
         model.input("x", kBfloat16, {1, 2}).output("y", kBfloat16, {1, 2}).node("Identity", {"x"}, {"y"});
       },
       "'x'"},
  };
  AppLogger::setMirrorsToConsole(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HubFake hub;
    ModelRegistry::setBaseURL(hub.baseURL());
    const testsupport::TemporaryFolder models;
    ModelBuilder model("Model");
    c.build(model);
    const fs::path bundle = model.writeBundle(models.path() / "built");
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
      if (!entry.is_regular_file()) continue;
      const std::string relative = entry.path().lexically_relative(bundle).string();
      hub.putFile(kSortformer, "main",
                  {std::string(kModel) + "/" + relative, fileText(entry.path()), relative == "model.onnx"});
    }

    const fs::path root = models.path() / "Models";
    for (int start = 0; start < 2; ++start) {
      try {
        ModelHub::loadModels(Repo::sortformer, {kModel}, root, platform::MLComputeUnits::cpuOnly,
                             std::string(kModel), DownloadConfig::default_(), {}, {});
        ADD_FAILURE() << "no error";
      } catch (const UnsupportedModelFormatError& error) {
        EXPECT_TRUE(error.preservesModelCache());
        EXPECT_THAT(error.description(), HasSubstr("Model.mlmodelc needs what this build cannot run"));
        EXPECT_THAT(error.description(), HasSubstr(c.needs));
      }
    }
    EXPECT_TRUE(fs::exists(root / "sortformer" / kModel / "model.onnx"));
    int networkRequests = 0;
    for (const auto& request : hub.requests()) {
      if (request.target.ends_with("/model.onnx")) ++networkRequests;
    }
    EXPECT_EQ(networkRequests, 1);
  }
  AppLogger::setMirrorsToConsole(true);
}

}  // namespace
}  // namespace tesselaudio
