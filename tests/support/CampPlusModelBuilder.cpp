#include "tests/support/CampPlusModelBuilder.h"

#include <cmath>
#include <string>
#include <utility>

namespace testsupport {
namespace {

constexpr int64_t kBins = 80;
constexpr int64_t kEmbedding = 192;

TensorValue int64s(std::vector<int64_t> values) {
  TensorValue tensor{ElementType::int64, {static_cast<int64_t>(values.size())}, {}};
  for (int64_t v : values) tensor.values.push_back(static_cast<double>(v));
  return tensor;
}

ModelBuilder preprocessorShell() {
  ModelBuilder model("CamPlusPreprocessor_v2");
  model.input("waveform", ElementType::float32, {1, -1});
  return model;
}

ModelBuilder framingPreprocessor(const std::string& output) {
  auto model = preprocessorShell();
  model.output(output, ElementType::float32, {1, -1, kBins})
      .initializer("one", int64s({1}))
      .initializer("two", int64s({2}))
      .initializer("zero", int64s({0}))
      .initializer("bins", int64s({kBins}))
      .initializer("frameShape", int64s({1, -1, kBins}))
      .node("Shape", {"waveform"}, {"waveformShape"})
      .node("Slice", {"waveformShape", "one", "two"}, {"samples"})
      .node("Div", {"samples", "bins"}, {"frames"})
      .node("Mul", {"frames", "bins"}, {"used"})
      .node("Slice", {"waveform", "zero", "used", "one"}, {"usedSamples"})
      .node("Reshape", {"usedSamples", "frameShape"}, {output});
  return model;
}

ModelBuilder embeddingShell() {
  ModelBuilder model("CamPlusPlus_v2");
  model.input("feats", ElementType::float32, {1, -1, kBins});
  return model;
}

ModelBuilder echoModel(const std::string& output) {
  auto model = embeddingShell();
  model.output(output, ElementType::float32, {-1})
      .initializer("flat", int64s({-1}))
      .initializer("zero", int64s({0}))
      .initializer("length", int64s({kEmbedding}))
      .node("Reshape", {"feats", "flat"}, {"values"})
      .node("Slice", {"values", "zero", "length"}, {output});
  return model;
}

}  // namespace

ModelBuilder campPlusPreprocessor() { return framingPreprocessor("features"); }

ModelBuilder campPlusPreprocessorWithoutFeatures() { return framingPreprocessor("spectrum"); }

ModelBuilder campPlusFlatPreprocessor() {
  auto model = preprocessorShell();
  model.output("features", ElementType::float32, {1, 200})
      .initializer("zero", int64s({0}))
      .initializer("length", int64s({200}))
      .initializer("one", int64s({1}))
      .node("Slice", {"waveform", "zero", "length", "one"}, {"features"});
  return model;
}

ModelBuilder campPlusEchoModel() { return echoModel("embedding"); }

ModelBuilder campPlusModelWithoutEmbedding() { return echoModel("speaker"); }

std::vector<float> campPlusPoolingWeights() {
  std::vector<float> weights(static_cast<size_t>(kBins * kEmbedding));
  for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)));
  return weights;
}

ModelBuilder campPlusPoolingModel() {
  TensorValue weights{ElementType::float32, {kBins, kEmbedding}, {}};
  for (float w : campPlusPoolingWeights()) weights.values.push_back(w);
  auto model = embeddingShell();
  model.output("embedding", ElementType::float32, {1, kEmbedding})
      .initializer("weights", std::move(weights))
      .node("Mul", {"feats", "feats"}, {"energy"})
      .node("ReduceMean", {"energy"}, {"pooled"}, {Attribute("axes", std::vector<int64_t>{1}), Attribute("keepdims", 0)})
      .node("MatMul", {"pooled", "weights"}, {"embedding"});
  return model;
}

ModelBuilder campPlusZeroModel() {
  auto model = echoModel("echo");
  model.output("embedding", ElementType::float32, {-1})
      .initializer("nothing", {ElementType::float32, {}, {0.0}})
      .node("Mul", {"echo", "nothing"}, {"embedding"});
  return model;
}

}  // namespace testsupport
