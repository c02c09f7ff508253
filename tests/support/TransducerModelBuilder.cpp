#include "tests/support/TransducerModelBuilder.h"

#include <string>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"

namespace testsupport {
namespace {

constexpr std::int64_t kDecoyToken = 9;

std::string outputName(const TransducerStandIn& standIn, const std::string& name) {
  return standIn.missingOutputs.count(name) ? name + "_absent" : name;
}

TensorValue int64s(std::vector<double> values) {
  const auto count = static_cast<std::int64_t>(values.size());
  return {ElementType::int64, {count}, std::move(values)};
}

// Row k holds the penalty at column k for the ids the hidden width can carry.
TensorValue penaltyTable(float penalty) {
  TensorValue table{ElementType::float32, {kTransducerLogits, kTransducerHidden}, {}};
  table.values.assign(static_cast<std::size_t>(kTransducerLogits * kTransducerHidden), 0.0);
  for (std::int64_t k = 0; k < kTransducerHidden; ++k) {
    table.values[static_cast<std::size_t>(k * kTransducerHidden + k)] = penalty;
  }
  return table;
}

// targets → "embedding" [1, 640, 1]; h_in/c_in → the counted states.
void addPredictionNetwork(ModelBuilder& model, const TransducerStandIn& standIn) {
  model.initializer("penaltyTable", penaltyTable(standIn.penalty))
      .initializer("stepShape", int64s({1, static_cast<double>(kTransducerHidden), 1}))
      .initializer("one", {ElementType::float32, {1}, {1}})
      .initializer("two", {ElementType::float32, {1}, {2}})
      .node("Gather", {"penaltyTable", "targets"}, {"gathered"}, {Attribute("axis", 0)})
      .node("Reshape", {"gathered", "stepShape"}, {"embedding"})
      .node("Add", {"h_in", "one"}, {outputName(standIn, "h_out")})
      .node("Add", {"c_in", "two"}, {outputName(standIn, "c_out")});
}

// "encoderStep" [1, 1027, 1] and "decoderStep" [1, 640, 1] → token_id.
void addJointNetwork(ModelBuilder& model, const TransducerStandIn& standIn, const std::string& encoderStep,
                     const std::string& decoderStep) {
  model.initializer("logitShape", int64s({1, static_cast<double>(kTransducerLogits)}))
      .initializer("hiddenShape", int64s({1, static_cast<double>(kTransducerHidden)}))
      .initializer("zero", int64s({0}))
      .initializer("hidden", int64s({static_cast<double>(kTransducerHidden)}))
      .initializer("logitCount", int64s({static_cast<double>(kTransducerLogits)}))
      .initializer("axisOne", int64s({1}))
      .node("Reshape", {encoderStep, "logitShape"}, {"encoderLogits"})
      .node("Reshape", {decoderStep, "hiddenShape"}, {"penalties"})
      .node("Slice", {"encoderLogits", "zero", "hidden", "axisOne"}, {"head"})
      .node("Slice", {"encoderLogits", "hidden", "logitCount", "axisOne"}, {"tail"})
      .node("Add", {"head", "penalties"}, {"penalizedHead"})
      .node("Concat", {"penalizedHead", "tail"}, {"logits"}, {Attribute("axis", 1)})
      .node("ArgMax", {"logits"}, {outputName(standIn, "token_id")},
            {Attribute("axis", 1), Attribute("keepdims", 1)});
}

void declareStateInputs(ModelBuilder& model) {
  model.input("targets", ElementType::int32, {1, 1})
      .input("h_in", ElementType::float32, {1, 1, kTransducerHidden})
      .input("c_in", ElementType::float32, {1, 1, kTransducerHidden});
}

void declareStateOutputs(ModelBuilder& model, const TransducerStandIn& standIn) {
  model.output(outputName(standIn, "h_out"), ElementType::float32, {1, 1, kTransducerHidden})
      .output(outputName(standIn, "c_out"), ElementType::float32, {1, 1, kTransducerHidden});
}

}  // namespace

ModelBuilder transducerDecoderModel(const TransducerStandIn& standIn) {
  const std::int64_t steps = standIn.decoderSteps;
  ModelBuilder model("TransducerDecoder");
  declareStateInputs(model);
  model.input("target_length", ElementType::int32, {1})
      .output(outputName(standIn, "decoder"), ElementType::float32, {1, kTransducerHidden, steps});
  declareStateOutputs(model, standIn);
  addPredictionNetwork(model, standIn);
  if (steps == 1) {
    model.node("Identity", {"embedding"}, {outputName(standIn, "decoder")});
  } else {
    TensorValue decoy{ElementType::float32, {1, kTransducerHidden, steps - 1}, {}};
    decoy.values.assign(static_cast<std::size_t>(kTransducerHidden * (steps - 1)), 0.0);
    for (std::int64_t u = 0; u < steps - 1; ++u) {
      decoy.values[static_cast<std::size_t>(kDecoyToken * (steps - 1) + u)] = 5;
    }
    model.initializer("decoy", decoy)
        .node("Concat", {"decoy", "embedding"}, {outputName(standIn, "decoder")}, {Attribute("axis", 2)});
  }
  return model;
}

ModelBuilder transducerJointModel(const TransducerStandIn& standIn) {
  ModelBuilder model("TransducerJoint");
  model.input("encoder_step", ElementType::float32, {1, kTransducerLogits, 1})
      .input("decoder_step", ElementType::float32, {1, kTransducerHidden, 1})
      .output(outputName(standIn, "token_id"), ElementType::int64, {1, 1});
  addJointNetwork(model, standIn, "encoder_step", "decoder_step");
  return model;
}

ModelBuilder transducerFusedModel(const TransducerStandIn& standIn) {
  ModelBuilder model("TransducerFused");
  declareStateInputs(model);
  model.input("encoder_step", ElementType::float32, {1, kTransducerLogits, 1})
      .output(outputName(standIn, "token_id"), ElementType::int64, {1, 1});
  declareStateOutputs(model, standIn);
  addPredictionNetwork(model, standIn);
  addJointNetwork(model, standIn, "encoder_step", "embedding");
  return model;
}

TransducerModels loadTransducerStandIns(const std::filesystem::path& folder, const TransducerStandIn& standIn) {
  std::filesystem::create_directories(folder);
  TransducerModels models;
  models.decoder = std::make_shared<platform::MLModel>(transducerDecoderModel(standIn).writeBundle(folder));
  models.joint = std::make_shared<platform::MLModel>(transducerJointModel(standIn).writeBundle(folder));
  models.fused = std::make_shared<platform::MLModel>(transducerFusedModel(standIn).writeBundle(folder));
  return models;
}

std::shared_ptr<platform::MLMultiArray> transducerEncoderOutput(const std::vector<std::vector<std::int64_t>>& script,
                                                                bool frameMajor) {
  const auto frames = static_cast<std::int64_t>(script.size());
  const std::int64_t features = kTransducerLogits;
  const std::vector<std::int64_t> shape{1, features, frames};
  std::shared_ptr<platform::MLMultiArray> array;
  if (frameMajor) {
    auto* data = new float[static_cast<std::size_t>(features * frames + 1)]();
    array = std::make_shared<platform::MLMultiArray>(data, shape, platform::MLMultiArrayDataType::float32,
                                                     std::vector<std::int64_t>{features * frames, 1, features},
                                                     [](void* bytes) { delete[] static_cast<float*>(bytes); });
  } else {
    array = std::make_shared<platform::MLMultiArray>(shape, platform::MLMultiArrayDataType::float32);
  }
  for (std::int64_t t = 0; t < frames; ++t) {
    array->set({0, kTransducerBlankId, t}, 1.0);
    double score = 3;
    for (std::int64_t token : script[static_cast<std::size_t>(t)]) array->set({0, token, t}, score--);
  }
  return array;
}

}  // namespace testsupport
