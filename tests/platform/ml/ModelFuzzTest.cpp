#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::ElementType;
using testsupport::ModelBuilder;

// Truncated and random bytes as model.onnx must give an error, never a crash or a hang.
TEST(ModelFuzzTest, DamagedModelFilesGiveErrors) {
  ModelBuilder builder("Fuzz");
  builder.input("x", ElementType::float32, {1, 4})
      .output("y", ElementType::float32, {1, 2})
      .initializer("w", {ElementType::float32, {4, 2}, {1, 2, 3, 4, 5, 6, 7, 8}})
      .initializer("shape", {ElementType::int64, {2}, {1, 2}})
      .node("MatMul", {"x", "w"}, {"h"})
      .node("Reshape", {"h", "shape"}, {"r"})
      .node("Softmax", {"r"}, {"y"}, {{"axis", 1}})
      .metadataProperty("config", "{}");
  const std::string valid = builder.serialize();
  testsupport::TemporaryFolder folder;
  const auto bundle = builder.writeBundle(folder.path());

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto attempt = [&](const std::string& bytes) {
    std::ofstream(bundle / "model.onnx", std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    try {
      MLModel model(bundle);
    } catch (const MLModelError&) {
    }
  };
  for (size_t length = 0; length < valid.size(); ++length) attempt(valid.substr(0, length));
  for (int i = 0; i < 500; ++i) {
    std::string mutated = valid;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) mutated[random() % mutated.size()] = static_cast<char>(random() & 0xff);
    attempt(mutated);
  }
  for (int i = 0; i < 200; ++i) {
    std::string noise(random() % 512, '\0');
    for (char& ch : noise) ch = static_cast<char>(random() & 0xff);
    attempt(noise);
  }
}

}  // namespace
}  // namespace platform
