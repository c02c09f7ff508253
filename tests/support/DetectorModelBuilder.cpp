#include "tests/support/DetectorModelBuilder.h"

#include <random>
#include <vector>

namespace testsupport::DetectorModelBuilder {
namespace {

constexpr int64_t kChunk = 512;
constexpr int64_t kHidden = 64;

std::vector<double> weights(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(-0.1, 0.1);
  std::vector<double> values(count);
  for (double& v : values) v = uniform(random);
  return values;
}

ModelBuilder detectorInterface(const char* name) {
  ModelBuilder builder(name);
  builder.input("x", ElementType::float32, {1, kChunk})
      .input("sr", ElementType::int64, {1})
      .input("h", ElementType::float32, {1, 1, kHidden})
      .input("c", ElementType::float32, {1, 1, kHidden})
      .outputWithoutShape("y", ElementType::float32)
      .output("hn", ElementType::float32, {1, 1, kHidden})
      .output("cn", ElementType::float32, {1, 1, kHidden})
      .initializer("W", {ElementType::float32, {1, 4 * kHidden, kChunk}, weights(4 * kHidden * kChunk, 1)})
      .initializer("R", {ElementType::float32, {1, 4 * kHidden, kHidden}, weights(4 * kHidden * kHidden, 2)})
      .initializer("B", {ElementType::float32, {1, 8 * kHidden}, weights(8 * kHidden, 3)})
      .initializer("sequenceShape", {ElementType::int64, {3}, {1, 1, kChunk}});
  return builder;
}

// Reshape and LSTM over the chunk, reading x, h, c and the weights by name.
void addLstm(ModelBuilder& builder, const std::string& y, const std::string& h, const std::string& c) {
  builder.node("Reshape", {"x", "sequenceShape"}, {y + "Sequence"})
      .node("LSTM", {y + "Sequence", "W", "R", "B", "", "h", "c"}, {y, h, c}, {{"hidden_size", kHidden}});
}

// A branch that gives the constant `value` as y and passes the state through.
ModelBuilder passThrough(const std::string& prefix, TensorValue value) {
  ModelBuilder branch(prefix);
  branch.outputWithoutShape(prefix + "Y", ElementType::float32)
      .output(prefix + "H", ElementType::float32, {1, 1, kHidden})
      .output(prefix + "C", ElementType::float32, {1, 1, kHidden})
      .initializer(prefix + "Y", std::move(value))
      .node("Identity", {"h"}, {prefix + "H"})
      .node("Identity", {"c"}, {prefix + "C"});
  return branch;
}

}  // namespace

ModelBuilder plain() {
  ModelBuilder builder = detectorInterface("PlainDetector");
  addLstm(builder, "y", "hn", "cn");
  return builder;
}

ModelBuilder nestedIf() {
  ModelBuilder voiced("voiced");
  voiced.outputWithoutShape("voicedY", ElementType::float32)
      .output("voicedH", ElementType::float32, {1, 1, kHidden})
      .output("voicedC", ElementType::float32, {1, 1, kHidden});
  addLstm(voiced, "voicedY", "voicedH", "voicedC");

  ModelBuilder wideBand("wideBand");
  wideBand.outputWithoutShape("wideY", ElementType::float32)
      .output("wideH", ElementType::float32, {1, 1, kHidden})
      .output("wideC", ElementType::float32, {1, 1, kHidden})
      .initializer("silence", {ElementType::float32, {}, {0}})
      .node("ReduceMax", {"x"}, {"peak"}, {{"keepdims", 0}})
      .node("Greater", {"peak", "silence"}, {"loud"})
      .node("If", {"loud"}, {"wideY", "wideH", "wideC"},
            {{"then_branch", voiced}, {"else_branch", passThrough("silent", {ElementType::float32, {1, 1}, {0}})}});

  ModelBuilder builder = detectorInterface("NestedIfDetector");
  builder.initializer("wideRate", {ElementType::int64, {1}, {16000}})
      .node("Equal", {"sr", "wideRate"}, {"isWide"})
      .node("If", {"isWide"}, {"y", "hn", "cn"},
            {{"then_branch", wideBand}, {"else_branch", passThrough("narrow", {ElementType::float32, {2}, {-1, -1}})}});
  return builder;
}

}  // namespace testsupport::DetectorModelBuilder
