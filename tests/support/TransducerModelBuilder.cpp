#include "tests/support/TransducerModelBuilder.h"

#include <fstream>
#include <string>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"

namespace testsupport {
namespace {

constexpr double kDecoyToken = 9;

std::string outputName(const TransducerStandIn& standIn, const std::string& name) {
  return standIn.missingOutputs.count(name) ? name + "_absent" : name;
}

TensorValue int64s(std::vector<double> values) {
  const auto count = static_cast<std::int64_t>(values.size());
  return {ElementType::int64, {count}, std::move(values)};
}

TensorValue floats(std::vector<std::int64_t> dims, std::vector<double> values) {
  return {ElementType::float32, std::move(dims), std::move(values)};
}

// targets → `embedding` [1, 640, 1] holding the token id in element 0; h_in/c_in → the counted
// states. Few nodes: the executor's cost is mostly per node.
void addPredictionNetwork(ModelBuilder& model, const TransducerStandIn& standIn, const std::string& embedding) {
  std::vector<double> firstUnit(static_cast<std::size_t>(kTransducerHidden), 0.0);
  firstUnit[0] = 1;
  model.initializer("firstUnit", floats({1, kTransducerHidden, 1}, std::move(firstUnit)))
      .initializer("one", floats({1}, {1}))
      .initializer("two", floats({1}, {2}))
      .node("Cast", {"targets"}, {"targetCode"}, {Attribute("to", static_cast<int>(ElementType::float32))})
      .node("Mul", {"targetCode", "firstUnit"}, {embedding})
      .node("Add", {"c_in", "two"}, {outputName(standIn, "c_out")});
  if (!standIn.failOnTarget) {
    model.node("Add", {"h_in", "one"}, {outputName(standIn, "h_out")});
    return;
  }
  // Index 0 of a one-element table normally, 1000 for the poisoned token: out of range, so the
  // evaluation fails.
  model.initializer("poison", {ElementType::int32, {1}, {static_cast<double>(*standIn.failOnTarget)}})
      .initializer("table", floats({1}, {0}))
      .initializer("farIndex", int64s({1000}))
      .node("Equal", {"targets", "poison"}, {"poisoned"})
      .node("Cast", {"poisoned"}, {"poisonFlag"}, {Attribute("to", static_cast<int>(ElementType::int64))})
      .node("Mul", {"poisonFlag", "farIndex"}, {"poisonIndex"})
      .node("Gather", {"table", "poisonIndex"}, {"poisonZero"}, {Attribute("axis", 0)})
      .node("Add", {"h_in", "one"}, {"hNext"})
      .node("Add", {"hNext", "poisonZero"}, {outputName(standIn, "h_out")});
}

// `encoderStep` [1, 2, 1] and `decoderStep` [1, 640, 1] → token_id [1, 1, 1].
void addJointNetwork(ModelBuilder& model, const TransducerStandIn& standIn, const std::string& encoderStep,
                     const std::string& decoderStep) {
  model.initializer("blankCode", floats({1, 1, 1}, {static_cast<double>(kTransducerBlankId)}))
      .initializer("scores", floats({1, 3, 1}, {3, 2, 1}))
      .initializer("penalizedScores", floats({1, 3, 1}, {3.0 + standIn.penalty, 2.0 + standIn.penalty,
                                                         1.0 + standIn.penalty}))
      .initializer("zero", int64s({0}))
      .initializer("oneIndex", int64s({1}))
      .node("Concat", {encoderStep, "blankCode"}, {"candidates"}, {Attribute("axis", 1)})
      .node("Slice", {decoderStep, "zero", "oneIndex", "oneIndex"}, {"lastCode"})
      .node("Equal", {"candidates", "lastCode"}, {"repeats"})
      .node("Where", {"repeats", "penalizedScores", "scores"}, {"finalScores"})
      .node("ArgMax", {"finalScores"}, {"choice"}, {Attribute("axis", 1), Attribute("keepdims", 1)})
      .node("GatherElements", {"candidates", "choice"}, {"chosenCode"}, {Attribute("axis", 1)})
      .node("Cast", {"chosenCode"}, {outputName(standIn, "token_id")},
            {Attribute("to", static_cast<int>(ElementType::int32))});
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
  if (steps == 1) {
    addPredictionNetwork(model, standIn, outputName(standIn, "decoder"));
  } else {
    addPredictionNetwork(model, standIn, "embedding");
    // Element (0, 0, u) of each earlier step holds the decoy.
    TensorValue decoy = floats({1, kTransducerHidden, steps - 1},
                               std::vector<double>(static_cast<std::size_t>(kTransducerHidden * (steps - 1)), 0.0));
    for (std::int64_t u = 0; u < steps - 1; ++u) decoy.values[static_cast<std::size_t>(u)] = kDecoyToken;
    model.initializer("decoy", decoy)
        .node("Concat", {"decoy", "embedding"}, {outputName(standIn, "decoder")}, {Attribute("axis", 2)});
  }
  return model;
}

ModelBuilder transducerJointModel(const TransducerStandIn& standIn) {
  ModelBuilder model("TransducerJoint");
  model.input("encoder_step", ElementType::float32, {1, kTransducerEncoderFeatures, 1})
      .input("decoder_step", ElementType::float32, {1, kTransducerHidden, 1})
      .output(outputName(standIn, "token_id"), ElementType::int32, {1, 1, 1});
  addJointNetwork(model, standIn, "encoder_step", "decoder_step");
  return model;
}

ModelBuilder transducerFusedModel(const TransducerStandIn& standIn) {
  ModelBuilder model("TransducerFused");
  declareStateInputs(model);
  model.input("encoder_step", ElementType::float32, {1, kTransducerEncoderFeatures, 1})
      .output(outputName(standIn, "token_id"), ElementType::int32, {1, 1, 1});
  declareStateOutputs(model, standIn);
  addPredictionNetwork(model, standIn, "embedding");
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
  const std::int64_t features = kTransducerEncoderFeatures;
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
    const auto& tokens = script[static_cast<std::size_t>(t)];
    for (std::int64_t k = 0; k < features; ++k) {
      const auto slot = static_cast<std::size_t>(k);
      array->set({0, k, t}, static_cast<double>(slot < tokens.size() ? tokens[slot] : kTransducerBlankId));
    }
  }
  return array;
}

namespace {

TensorValue scriptTensor(const std::vector<std::vector<std::int64_t>>& script, std::int64_t frames) {
  TensorValue value = floats({1, kTransducerEncoderFeatures, frames},
                             std::vector<double>(static_cast<std::size_t>(kTransducerEncoderFeatures * frames),
                                                 static_cast<double>(kTransducerBlankId)));
  for (std::int64_t t = 0; t < frames && t < static_cast<std::int64_t>(script.size()); ++t) {
    const auto& tokens = script[static_cast<std::size_t>(t)];
    for (std::size_t k = 0; k < tokens.size() && k < static_cast<std::size_t>(kTransducerEncoderFeatures); ++k) {
      value.values[k * static_cast<std::size_t>(frames) + static_cast<std::size_t>(t)] =
          static_cast<double>(tokens[k]);
    }
  }
  return value;
}

}  // namespace

ModelBuilder eouStreamingEncoderModel(const EouEncoderStandIn& standIn) {
  const std::int64_t frames = standIn.outputFrames;
  ModelBuilder model("streaming_encoder");
  model.input("audio_signal", ElementType::float32, {1, 128, standIn.melFrames})
      .input("audio_length", ElementType::int32, {1})
      .input("pre_cache", ElementType::float32, {1, 128, standIn.preCacheSize})
      .input("cache_last_channel", ElementType::float32, {17, 1, 70, 512})
      .input("cache_last_time", ElementType::float32, {17, 1, 512, 8})
      .input("cache_last_channel_len", ElementType::int32, {1})
      .initializer("oneFloat", floats({1}, {1}))
      .initializer("oneInt", {ElementType::int32, {1}, {1}})
      .initializer("blankScript", scriptTensor({}, frames))
      .node("ReduceMean", {"audio_signal"}, {"meanMel"}, {Attribute("keepdims", 0)});

  std::string chosen = "blankScript";
  for (std::size_t i = 0; i < standIn.levels.size(); ++i) {
    const std::string level = "level" + std::to_string(i);
    const std::string next = level + "Chosen";
    model.initializer(level + "Above", floats({}, {standIn.levels[i].above}))
        .initializer(level + "Script", scriptTensor(standIn.levels[i].script, frames))
        .node("Greater", {"meanMel", level + "Above"}, {level + "Loud"})
        .node("Where", {level + "Loud", level + "Script", chosen}, {next});
    chosen = next;
  }
  const std::string encoded = standIn.encodedOutput ? "encoded_output" : "encoded_output_absent";
  if (standIn.encodedAsInt32) {
    model.node("Cast", {chosen}, {encoded}, {Attribute("to", static_cast<int>(ElementType::int32))})
        .output(encoded, ElementType::int32, {1, kTransducerEncoderFeatures, frames});
  } else {
    model.node("Identity", {chosen}, {encoded})
        .output(encoded, ElementType::float32, {1, kTransducerEncoderFeatures, frames});
  }

  if (standIn.newPreCache) {
    model.node("Add", {"pre_cache", "oneFloat"}, {"new_pre_cache"})
        .output("new_pre_cache", ElementType::float32, {1, 128, standIn.preCacheSize});
  }
  model.node("Add", {"cache_last_channel", "oneFloat"}, {"new_cache_last_channel"})
      .node("Add", {"cache_last_time", "oneFloat"}, {"new_cache_last_time"})
      .node("Add", {"cache_last_channel_len", "oneInt"}, {"new_cache_last_channel_len"})
      .output("new_cache_last_channel", ElementType::float32, {17, 1, 70, 512})
      .output("new_cache_last_time", ElementType::float32, {17, 1, 512, 8})
      .output("new_cache_last_channel_len", ElementType::int32, {1});
  return model;
}

std::filesystem::path writeEouModelFolder(const std::filesystem::path& folder, const EouEncoderStandIn& encoder,
                                          const std::string& vocabJson, const TransducerStandIn& transducer,
                                          bool fused) {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  const auto writeAs = [&](const ModelBuilder& model, const std::string& bundle) {
    fs::remove_all(folder / bundle);
    fs::rename(model.writeBundle(folder), folder / bundle);
  };
  writeAs(eouStreamingEncoderModel(encoder), "streaming_encoder.mlmodelc");
  writeAs(transducerDecoderModel(transducer), "decoder.mlmodelc");
  writeAs(transducerJointModel(transducer), "joint_decision.mlmodelc");
  if (fused) writeAs(transducerFusedModel(transducer), "decoder_joint_decision_fused.mlmodelc");
  std::ofstream(folder / "vocab.json", std::ios::binary) << vocabJson;
  return folder;
}

namespace {

TensorValue nemotronScript(const NemotronStandIn& standIn, const std::vector<NemotronScriptFrame>& script) {
  const std::int64_t width = standIn.blank + 1;
  const std::int64_t frames = standIn.frames;
  TensorValue value = floats({1, width, frames}, std::vector<double>(static_cast<std::size_t>(width * frames), 0.0));
  for (std::int64_t t = 0; t < frames; ++t) {
    const NemotronScriptFrame frame = t < static_cast<std::int64_t>(script.size())
                                          ? script[static_cast<std::size_t>(t)]
                                          : nemotronBlankFrame(standIn.blank);
    for (const auto& [id, score] : frame) {
      value.values[static_cast<std::size_t>(id * frames + t)] = score;
    }
  }
  return value;
}

std::string nemotronOutput(const NemotronStandIn& standIn, const std::string& name) {
  return standIn.missingOutputs.count(name) ? name + "_absent" : name;
}

ModelBuilder nemotronEncoderModel(const NemotronStandIn& standIn) {
  const std::int64_t width = standIn.blank + 1;
  ModelBuilder model("encoder_int8");
  model.input("mel", ElementType::float32, {1, standIn.melFeatures, standIn.totalMelFrames})
      .input("mel_length", ElementType::int32, {1})
      .input("cache_channel", ElementType::float32, standIn.cacheChannelShape)
      .input("cache_time", ElementType::float32, standIn.cacheTimeShape)
      .input("cache_len", ElementType::int32, {1})
      .initializer("oneFloat", floats({1}, {1}))
      .initializer("oneInt", {ElementType::int32, {1}, {1}})
      .initializer("blankScript", nemotronScript(standIn, {}))
      .node("ReduceMean", {"mel"}, {"meanMel"}, {Attribute("keepdims", 0)});
  std::string chosen = "blankScript";
  for (std::size_t i = 0; i < standIn.levels.size(); ++i) {
    const std::string level = "level" + std::to_string(i);
    const std::string next = level + "Chosen";
    model.initializer(level + "Above", floats({}, {standIn.levels[i].above}))
        .initializer(level + "Script", nemotronScript(standIn, standIn.levels[i].script))
        .node("Greater", {"meanMel", level + "Above"}, {level + "Loud"})
        .node("Where", {level + "Loud", level + "Script", chosen}, {next});
    chosen = next;
  }
  if (standIn.zeroEncoder) {
    model.initializer("zeroFloat", floats({1}, {0})).node("Mul", {chosen, "zeroFloat"}, {"zeroed"});
    chosen = "zeroed";
  }
  const std::string encoded = nemotronOutput(standIn, "encoded");
  if (standIn.emptyAtOrBelow) {
    model.initializer("emptyLimit", floats({}, {*standIn.emptyAtOrBelow}))
        .initializer("allFrames", int64s({static_cast<double>(standIn.frames)}))
        .initializer("sliceStart", int64s({0}))
        .initializer("sliceAxis", int64s({2}))
        .node("Greater", {"meanMel", "emptyLimit"}, {"hasFrames"})
        .node("Cast", {"hasFrames"}, {"hasFramesFlag"}, {Attribute("to", static_cast<int>(ElementType::int64))})
        .node("Mul", {"hasFramesFlag", "allFrames"}, {"sliceEnd"})
        .node("Slice", {chosen, "sliceStart", "sliceEnd", "sliceAxis"}, {encoded})
        .output(encoded, ElementType::float32, {1, width, -1});
  } else if (standIn.encodedAsInt32) {
    model.node("Cast", {chosen}, {encoded}, {Attribute("to", static_cast<int>(ElementType::int32))})
        .output(encoded, ElementType::int32, {1, width, standIn.frames});
  } else if (standIn.encodedRank2) {
    model.initializer("rank2", int64s({static_cast<double>(width), static_cast<double>(standIn.frames)}))
        .node("Reshape", {chosen, "rank2"}, {encoded})
        .output(encoded, ElementType::float32, {width, standIn.frames});
  } else {
    model.node("Identity", {chosen}, {encoded}).output(encoded, ElementType::float32, {1, width, standIn.frames});
  }
  model.node("Add", {"cache_channel", "oneFloat"}, {"cache_channel_out"})
      .node("Add", {"cache_time", "oneFloat"}, {"cache_time_out"})
      .output("cache_channel_out", ElementType::float32, standIn.cacheChannelShape)
      .output("cache_time_out", ElementType::float32, standIn.cacheTimeShape);
  if (standIn.cacheLenOut) {
    model.node("Add", {"cache_len", "oneInt"}, {"cache_len_out"}).output("cache_len_out", ElementType::int32, {1});
  }
  return model;
}

// token → `prediction` [1, blank + 1, 1] (penalty at the token's id); the counted states.
void addNemotronPrediction(ModelBuilder& model, const NemotronStandIn& standIn, const std::string& prediction) {
  const std::int64_t width = standIn.blank + 1;
  const std::vector<std::int64_t> stateShape{standIn.decoderLayers, 1, standIn.decoderHidden};
  std::vector<double> ids(static_cast<std::size_t>(width));
  for (std::int64_t i = 0; i < width; ++i) ids[static_cast<std::size_t>(i)] = static_cast<double>(i);
  model.input("token", ElementType::int32, {1, 1})
      .input("token_length", ElementType::int32, {1})
      .input("h_in", ElementType::float32, stateShape)
      .input("c_in", ElementType::float32, stateShape)
      .initializer("ids", {ElementType::int32, {1, width, 1}, std::move(ids)})
      .initializer("penalty", floats({1}, {standIn.penalty}))
      .initializer("one", floats({1}, {1}))
      .initializer("two", floats({1}, {2}))
      .node("Equal", {"token", "ids"}, {"isToken"})
      .node("Cast", {"isToken"}, {"tokenMask"}, {Attribute("to", static_cast<int>(ElementType::float32))})
      .node("Mul", {"tokenMask", "penalty"}, {prediction})
      .node("Add", {"c_in", "two"}, {nemotronOutput(standIn, "c_out")})
      .output(nemotronOutput(standIn, "c_out"), ElementType::float32, stateShape)
      .output(nemotronOutput(standIn, "h_out"), ElementType::float32, stateShape);
  if (!standIn.failOnToken) {
    model.node("Add", {"h_in", "one"}, {nemotronOutput(standIn, "h_out")});
    return;
  }
  model.initializer("poison", {ElementType::int32, {1}, {static_cast<double>(*standIn.failOnToken)}})
      .initializer("table", floats({1}, {0}))
      .initializer("farIndex", int64s({1000}))
      .node("Equal", {"token", "poison"}, {"poisoned"})
      .node("Cast", {"poisoned"}, {"poisonFlag"}, {Attribute("to", static_cast<int>(ElementType::int64))})
      .node("Reshape", {"poisonFlag", "oneShape"}, {"poisonFlat"})
      .initializer("oneShape", int64s({1}))
      .node("Mul", {"poisonFlat", "farIndex"}, {"poisonIndex"})
      .node("Gather", {"table", "poisonIndex"}, {"poisonZero"}, {Attribute("axis", 0)})
      .node("Add", {"h_in", "one"}, {"hNext"})
      .node("Add", {"hNext", "poisonZero"}, {nemotronOutput(standIn, "h_out")});
}

}  // namespace

ModelBuilder nemotronDecoderModel(const NemotronStandIn& standIn) {
  ModelBuilder model("decoder");
  addNemotronPrediction(model, standIn, nemotronOutput(standIn, "decoder_out"));
  model.output(nemotronOutput(standIn, "decoder_out"), ElementType::float32, {1, standIn.blank + 1, 1});
  return model;
}

ModelBuilder nemotronJointModel(const NemotronStandIn& standIn) {
  const std::int64_t width = standIn.blank + 1;
  ModelBuilder model("joint");
  model.input("encoder", ElementType::float32, {1, width, 1})
      .input("decoder", ElementType::float32, {1, width, 1})
      .node("Add", {"encoder", "decoder"}, {nemotronOutput(standIn, "logits")})
      .output(nemotronOutput(standIn, "logits"), ElementType::float32, {1, width, 1});
  return model;
}

ModelBuilder nemotronFusedModel(const NemotronStandIn& standIn) {
  const std::int64_t width = standIn.blank + 1;
  ModelBuilder model("decoder_joint");
  addNemotronPrediction(model, standIn, "prediction");
  model.input("encoder", ElementType::float32, {1, width, 1})
      .node("Add", {"encoder", "prediction"}, {nemotronOutput(standIn, "logits")})
      .output(nemotronOutput(standIn, "logits"), ElementType::float32, {1, width, 1});
  return model;
}

NemotronScriptFrame nemotronTokenFrame(std::int64_t id, std::int64_t blank) { return {{id, 1.0f}, {blank, 0.5f}}; }

NemotronScriptFrame nemotronBlankFrame(std::int64_t blank) { return {{blank, 3.0f}}; }

std::filesystem::path writeNemotronModelFolder(const std::filesystem::path& folder, const NemotronStandIn& standIn,
                                               const std::string& vocabJson,
                                               const std::optional<std::string>& metadataJson) {
  namespace fs = std::filesystem;
  fs::create_directories(folder / "encoder");
  const auto writeAs = [&](const ModelBuilder& model, const fs::path& bundle) {
    fs::remove_all(bundle);
    fs::rename(model.writeBundle(bundle.parent_path()), bundle);
  };
  writeAs(nemotronEncoderModel(standIn), folder / "encoder" / "encoder_int8.mlmodelc");
  writeAs(nemotronDecoderModel(standIn), folder / "decoder.mlmodelc");
  writeAs(nemotronJointModel(standIn), folder / "joint.mlmodelc");
  if (standIn.fused) writeAs(nemotronFusedModel(standIn), folder / "decoder_joint.mlmodelc");
  std::ofstream(folder / "tokenizer.json", std::ios::binary) << vocabJson;
  if (metadataJson) std::ofstream(folder / "metadata.json", std::ios::binary) << *metadataJson;
  return folder;
}

std::string nemotronMetadata(const NemotronStandIn& standIn, std::int64_t chunkMelFrames, std::int64_t chunkMs,
                             std::int64_t preEncodeCache) {
  const auto shape = [](const std::vector<std::int64_t>& dims) {
    std::string text = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) text += (i ? ", " : "") + std::to_string(dims[i]);
    return text + "]";
  };
  return "{\"mel_features\": " + std::to_string(standIn.melFeatures) +
         ", \"chunk_mel_frames\": " + std::to_string(chunkMelFrames) + ", \"chunk_ms\": " + std::to_string(chunkMs) +
         ", \"pre_encode_cache\": " + std::to_string(preEncodeCache) +
         ", \"total_mel_frames\": " + std::to_string(standIn.totalMelFrames) +
         ", \"blank_idx\": " + std::to_string(standIn.blank) +
         ", \"decoder_hidden\": " + std::to_string(standIn.decoderHidden) +
         ", \"decoder_layers\": " + std::to_string(standIn.decoderLayers) +
         ", \"cache_channel_shape\": " + shape(standIn.cacheChannelShape) +
         ", \"cache_time_shape\": " + shape(standIn.cacheTimeShape) + "}";
}

}  // namespace testsupport
