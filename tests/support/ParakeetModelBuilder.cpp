#include "tests/support/ParakeetModelBuilder.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {
namespace {

constexpr std::int64_t kDecoderHidden = 640;

TensorValue int64s(std::vector<double> values) {
  const auto size = static_cast<std::int64_t>(values.size());
  return {ElementType::int64, {size}, std::move(values)};
}

template <class T>
std::vector<double> doubles(const std::vector<T>& values) {
  return std::vector<double>(values.begin(), values.end());
}

// `out` = round(flat[index]) as int32 of shape [1].
void roundedElement(ModelBuilder& model, std::int64_t index, const std::string& out) {
  const std::string tag = std::to_string(index);
  model.initializer("start" + tag, int64s({static_cast<double>(index)}))
      .initializer("end" + tag, int64s({static_cast<double>(index + 1)}))
      .node("Slice", {"flat", "start" + tag, "end" + tag}, {"element" + tag})
      .node("Add", {"element" + tag, "half"}, {"shifted" + tag})
      .node("Cast", {"shifted" + tag}, {out}, {Attribute("to", static_cast<int>(ElementType::int32))});
}

}  // namespace

ModelBuilder parakeetJoint(const ParakeetJointScript& script) {
  const auto classes = static_cast<std::int64_t>(script.tokenIds.size());
  ModelBuilder model("JointDecision");
  model.input("encoder_step", ElementType::float32, {1, script.hiddenSize, 1})
      .input("decoder_step", ElementType::float32, {1, kDecoderHidden, 1})
      .initializer("flatShape", int64s({-1}))
      .initializer("scalarShape", int64s({1, 1, 1}))
      .initializer("half", {ElementType::float32, {1}, {0.5}})
      .initializer("idTable", {ElementType::int32, {classes}, doubles(script.tokenIds)})
      .initializer("probTable", {ElementType::float32, {classes}, doubles(script.probabilities)})
      .node("Reshape", {"encoder_step", "flatShape"}, {"flat"});
  roundedElement(model, 0, "class");
  roundedElement(model, 1, "durationClass");

  if (!script.withoutTokenId) {
    model.output("token_id", ElementType::int32, {1, 1, 1})
        .node("Gather", {"idTable", "class"}, {"tokenFlat"})
        .node("Reshape", {"tokenFlat", "scalarShape"}, {"token_id"});
  }
  model.node("Gather", {"probTable", "class"}, {"probFlat"});
  if (script.twoElementProbability) {
    model.output("token_prob", ElementType::float32, {1, 1, 2})
        .initializer("pairShape", int64s({1, 1, 2}))
        .node("Concat", {"probFlat", "probFlat"}, {"probPair"}, {Attribute("axis", 0)})
        .node("Reshape", {"probPair", "pairShape"}, {"token_prob"});
  } else {
    model.output("token_prob", ElementType::float32, {1, 1, 1})
        .node("Reshape", {"probFlat", "scalarShape"}, {"token_prob"});
  }
  model.output("duration", ElementType::int32, {1, 1, 1})
      .node("Reshape", {"durationClass", "scalarShape"}, {"duration"});

  if (!script.logits.empty()) {
    const auto columns = static_cast<std::int64_t>(script.logitIds.size());
    std::vector<double> table;
    for (const auto& row : script.logits) table.insert(table.end(), row.begin(), row.end());
    model.initializer("logitTable", {ElementType::float32, {classes, columns}, std::move(table)})
        .initializer("logitIds", {ElementType::int32, {columns}, doubles(script.logitIds)})
        .initializer("k", int64s({static_cast<double>(script.topK)}))
        .node("Gather", {"logitTable", "class"}, {"row"})
        .node("TopK", {"row", "k"}, {"bestLogits", "bestColumns"}, {Attribute("axis", -1)})
        .node("Gather", {"logitIds", "bestColumns"}, {"bestIds"})
        .node("Reshape", {"bestIds", "flatShape"}, {"flatIds"})
        .output("top_k_ids", script.topKIdsType, {script.topK})
        .node("Cast", {"flatIds"}, {"top_k_ids"}, {Attribute("to", static_cast<int>(script.topKIdsType))});
    if (!script.withoutTopKLogits) {
      const std::int64_t logitCount = script.shortTopKLogits ? script.topK - 1 : script.topK;
      model.initializer("logitStart", int64s({0}))
          .initializer("logitEnd", int64s({static_cast<double>(logitCount)}))
          .node("Reshape", {"bestLogits", "flatShape"}, {"flatLogits"})
          .node("Slice", {"flatLogits", "logitStart", "logitEnd"}, {"keptLogits"})
          .output("top_k_logits", script.topKLogitsType, {logitCount})
          .node("Cast", {"keptLogits"}, {"top_k_logits"}, {Attribute("to", static_cast<int>(script.topKLogitsType))});
    }
  }
  return model;
}

ModelBuilder parakeetDecoder(const ParakeetDecoderScript& script) {
  constexpr std::int64_t kRows = 16;
  std::vector<double> table;
  for (std::int64_t r = 0; r < kRows; ++r) {
    for (std::int64_t j = 0; j < kDecoderHidden; ++j) table.push_back(static_cast<double>(r) + j / 1000.0);
  }
  const std::vector<std::int64_t> stateShape = {script.layers, 1, kDecoderHidden};
  const std::vector<std::int64_t> projectionShape =
      script.wideOutput ? std::vector<std::int64_t>{1, 1, kDecoderHidden} : std::vector<std::int64_t>{1, kDecoderHidden, 1};
  const std::string projection = script.withoutDecoderOutput ? "projection" : "decoder";
  ModelBuilder model("Decoder");
  model.input("targets", ElementType::int32, {1, 1})
      .input("target_length", ElementType::int32, {1})
      .input("h_in", ElementType::float32, stateShape)
      .input("c_in", ElementType::float32, stateShape)
      .output(projection, ElementType::float32, projectionShape)
      .output("h_out", ElementType::float32, stateShape)
      .output("c_out", ElementType::float32, stateShape)
      .initializer("rows", {ElementType::int32, {1}, {static_cast<double>(kRows)}})
      .initializer("table", {ElementType::float32, {kRows, kDecoderHidden}, std::move(table)})
      .initializer("one", {ElementType::float32, {1}, {1.0}})
      .initializer("projectionShape", int64s(doubles(projectionShape)))
      .node("Mod", {"targets", "rows"}, {"row"})
      .node("Gather", {"table", "row"}, {"picked"})
      .node("Reshape", {"picked", "projectionShape"}, {projection})
      .node("Add", {"h_in", "one"}, {"h_out"})
      .node("Identity", {"c_in"}, {"c_out"});
  return model;
}

ModelBuilder parakeetPreprocessor() {
  ModelBuilder model("Preprocessor");
  model.input("audio_signal", ElementType::float32, {1, -1})
      .input("audio_length", ElementType::int32, {1})
      .output("mel", ElementType::float32, {1, -1})
      .output("mel_length", ElementType::int32, {1})
      .node("Identity", {"audio_signal"}, {"mel"})
      .node("Identity", {"audio_length"}, {"mel_length"});
  return model;
}

namespace {

ModelBuilder fixedLengthEncoder(std::int64_t frames) {
  ModelBuilder model("Encoder");
  model.input("mel", ElementType::float32, {1, 1, frames})
      .input("mel_length", ElementType::int32, {1})
      .output("encoder", ElementType::float32, {1, 1, frames})
      .output("encoder_length", ElementType::int32, {1})
      .node("Identity", {"mel"}, {"encoder"})
      .node("Identity", {"mel_length"}, {"encoder_length"});
  return model;
}

// Writes `model` as folder/fileName, whatever the builder's own name, replacing what was there.
void writeBundleAs(const ModelBuilder& model, const std::filesystem::path& folder, const std::string& fileName) {
  const auto staging = folder / (fileName + ".staging");
  std::filesystem::create_directories(staging);
  const auto written = model.writeBundle(staging);
  std::filesystem::remove_all(folder / fileName);
  std::filesystem::rename(written, folder / fileName);
  std::filesystem::remove_all(staging);
}

}  // namespace

ModelBuilder parakeetEncoder(const ParakeetEncoderScript& script) {
  ModelBuilder model = fixedLengthEncoder(script.melFrames);
  for (const auto& [name, frames] : script.functions) model.function(name, fixedLengthEncoder(frames));
  if (!script.defaultFunction.empty()) model.defaultFunction(script.defaultFunction);
  return model;
}

namespace {

constexpr std::int64_t kWindowSamples = 240000;
constexpr std::int64_t kHopSamples = 160;
constexpr std::int64_t kWindowMelFrames = kWindowSamples / kHopSamples + 1;

TensorValue int32s(std::vector<double> values) {
  const auto size = static_cast<std::int64_t>(values.size());
  return {ElementType::int32, {size}, std::move(values)};
}

// Appends the hop energies of "audio_signal" as `mel` [1, 1, T] and the frame count as `melLength`.
void appendHopEnergies(ModelBuilder& model, const ParakeetWindowScript& script, const std::string& mel,
                       const std::string& melLength) {
  model.input("audio_signal", ElementType::float32, {1, -1})
      .input("audio_length", ElementType::int32, {1})
      .initializer("hopShape", int64s({-1, static_cast<double>(kHopSamples)}))
      .initializer("hopMean", {ElementType::float32, {kHopSamples, 1},
                               std::vector<double>(static_cast<size_t>(kHopSamples), 1.0 / kHopSamples)})
      .initializer("melShape", int64s({1, 1, -1}))
      .initializer("silentHop", int64s({0, 0, 0, 0, 0, 1}))
      .initializer("hop", int32s({static_cast<double>(kHopSamples)}))
      .initializer("oneFrame", int32s({1}))
      .initializer("window", int32s({static_cast<double>(kWindowSamples)}))
      .node("Mul", {"audio_signal", "audio_signal"}, {"squares"})
      .node("Reshape", {"squares", "hopShape"}, {"hops"})
      // A mean as a product, which runs through BLAS.
      .node("MatMul", {"hops", "hopMean"}, {"hopColumn"})
      .node("Reshape", {"hopColumn", "melShape"}, {"hopEnergies"})
      // The appended 160 zeros make one more, silent, frame.
      .node("Pad", {"hopEnergies", "silentHop"}, {"energy"});
  if (!script.withoutMelLength) {
    model.node("Div", {"audio_length", "hop"}, {"wholeHops"}).node("Add", {"wholeHops", "oneFrame"}, {melLength});
  }
  std::string energy = "energy";
  if (script.zeroMelUnlessWholeWindow) {
    model.initializer("zero", {ElementType::float32, {1}, {0.0}})
        .initializer("one", {ElementType::float32, {1}, {1.0}})
        .node("Less", {"audio_length", "window"}, {"partial"})
        .node("Where", {"partial", "zero", "one"}, {"gate"})
        .node("Mul", {energy, "gate"}, {"gatedEnergy"});
    energy = "gatedEnergy";
  }
  if (script.failOnWholeWindow) {
    // Gathers index audio_length / 240,000 from a one-element table: out of range for the whole window.
    model.initializer("guard", {ElementType::float32, {1}, {1.0}})
        .node("Div", {"audio_length", "window"}, {"wholeWindows"})
        .node("Gather", {"guard", "wholeWindows"}, {"guarded"})
        .node("Mul", {energy, "guarded"}, {"guardedEnergy"});
    energy = "guardedEnergy";
  }
  if (script.float16Mel) {
    model.node("Cast", {energy}, {mel}, {Attribute("to", static_cast<int>(ElementType::float16))});
  } else {
    model.node("Identity", {energy}, {mel});
  }
}

// Appends the encoder network from `mel` [1, 1, frames] and `melLength` to "encoder" and
// "encoder_length" (or the names of the broken variants).
void appendEncoder(ModelBuilder& model, const ParakeetWindowScript& script, std::int64_t frames, const std::string& mel,
                   const std::string& melLength) {
  const std::int64_t hidden = script.hiddenSize;
  const std::int64_t time = (frames + 7) / 8;
  std::vector<double> weights(static_cast<size_t>(hidden), 0.0);
  weights[0] = script.energyScale;
  std::vector<double> bias(static_cast<size_t>(hidden), 0.0);
  bias[1] = static_cast<double>(script.durationClass);
  model.initializer("e_starts", int64s({0}))
      .initializer("e_ends", int64s({static_cast<double>(frames)}))
      .initializer("e_axes", int64s({2}))
      .initializer("e_steps", int64s({8}))
      .initializer("e_column", int64s({-1, 1}))
      .initializer("e_weights", {ElementType::float32, {1, hidden}, std::move(weights)})
      .initializer("e_bias", {ElementType::float32, {hidden}, std::move(bias)})
      .initializer("e_seven", int32s({7}))
      .initializer("e_eight", int32s({8}))
      .node("Slice", {mel, "e_starts", "e_ends", "e_axes", "e_steps"}, {"e_kept"})
      .node("Reshape", {"e_kept", "e_column"}, {"e_energies"})
      .node("MatMul", {"e_energies", "e_weights"}, {"e_scaled"})
      .node("Add", {"e_scaled", "e_bias"}, {"e_features"});
  std::string features = "e_features";
  if (script.heavyEncoder) {
    std::vector<double> identity(static_cast<size_t>(hidden * hidden), 0.0);
    for (std::int64_t i = 0; i < hidden; ++i) identity[static_cast<size_t>(i * hidden + i)] = 1.0;
    model.initializer("e_identity", {ElementType::float32, {hidden, hidden}, std::move(identity)})
        .node("MatMul", {features, "e_identity"}, {"e_mixed"});
    features = "e_mixed";
  }
  const std::string encoder = script.withoutEncoderOutput ? "encoded" : "encoder";
  if (script.timeMajorEncoder) {
    model.initializer("e_shape", int64s({1, -1, static_cast<double>(hidden)}))
        .node("Reshape", {features, "e_shape"}, {encoder})
        .output(encoder, ElementType::float32, {1, time, hidden});
  } else {
    model.initializer("e_shape", int64s({1, static_cast<double>(hidden), -1}))
        .node("Transpose", {features}, {"e_hiddenMajor"}, {Attribute("perm", std::vector<std::int64_t>{1, 0})})
        .node("Reshape", {"e_hiddenMajor", "e_shape"}, {encoder})
        .output(encoder, ElementType::float32, {1, hidden, time});
  }
  if (script.withoutEncoderLength) return;
  model.output("encoder_length", ElementType::int32, {1});
  if (script.withoutMelLength) {
    model.initializer("e_time", int32s({static_cast<double>(time)})).node("Identity", {"e_time"}, {"encoder_length"});
  } else {
    model.node("Add", {melLength, "e_seven"}, {"e_rounded"}).node("Div", {"e_rounded", "e_eight"}, {"encoder_length"});
  }
}

ModelBuilder fixedLengthWindowEncoder(const ParakeetWindowScript& script, std::int64_t frames) {
  ModelBuilder model("Encoder");
  model.input("mel", ElementType::float32, {1, 1, frames});
  if (!script.withoutMelLength) model.input("mel_length", ElementType::int32, {1});
  for (const auto& name : script.extraEncoderInputs) model.input(name, ElementType::float32, {1});
  appendEncoder(model, script, frames, "mel", "mel_length");
  return model;
}

}  // namespace

ModelBuilder parakeetWindowPreprocessor(const ParakeetWindowScript& script) {
  ModelBuilder model("Preprocessor");
  if (script.fused) {
    appendHopEnergies(model, script, "hopEnergy", "melFrames");
    appendEncoder(model, script, kWindowMelFrames, "hopEnergy", "melFrames");
    return model;
  }
  appendHopEnergies(model, script, "mel", "mel_length");
  model.output("mel", script.float16Mel ? ElementType::float16 : ElementType::float32, {1, 1, -1});
  if (!script.withoutMelLength) model.output("mel_length", ElementType::int32, {1});
  return model;
}

ModelBuilder parakeetWindowEncoder(const ParakeetWindowScript& script) {
  ModelBuilder model = fixedLengthWindowEncoder(script, kWindowMelFrames);
  for (const auto& [name, frames] : script.functions) model.function(name, fixedLengthWindowEncoder(script, frames));
  return model;
}

void writeParakeetModelSet(const std::filesystem::path& folder, const ParakeetModelSet& set) {
  std::filesystem::create_directories(folder);
  if (set.window) {
    writeBundleAs(parakeetWindowPreprocessor(*set.window), folder, set.preprocessorFile);
    if (!set.encoderFile.empty()) writeBundleAs(parakeetWindowEncoder(*set.window), folder, set.encoderFile);
  } else {
    writeBundleAs(parakeetPreprocessor(), folder, set.preprocessorFile);
    if (!set.encoderFile.empty()) writeBundleAs(parakeetEncoder(set.encoder), folder, set.encoderFile);
  }
  ParakeetDecoderScript decoder;
  decoder.layers = set.decoderLayers;
  writeBundleAs(parakeetDecoder(decoder), folder, set.decoderFile);
  if (!set.jointFile.empty()) {
    ParakeetJointScript joint;
    joint.tokenIds = {0};
    joint.probabilities = {1.0f};
    if (set.window) {
      joint.hiddenSize = set.window->hiddenSize;
      joint.tokenIds = set.window->tokenIds;
      joint.probabilities = set.window->probabilities;
    }
    writeBundleAs(parakeetJoint(joint), folder, set.jointFile);
  }
  if (!set.vocabulary.empty()) {
    std::ofstream(folder / set.vocabularyFile, std::ios::binary) << set.vocabulary;
  }
}

std::string parakeetVocabulary(std::int64_t count, const std::map<std::int64_t, std::string>& pieces) {
  std::string json = "[";
  for (std::int64_t id = 0; id < count; ++id) {
    if (id > 0) json += ",";
    const auto piece = pieces.find(id);
    if (piece == pieces.end()) {
      json += "\"t" + std::to_string(id) + "\"";
      continue;
    }
    json += '"';
    for (char c : piece->second) {
      if (c == '"' || c == '\\') json += '\\';
      json += c;
    }
    json += '"';
  }
  return json + "]";
}

}  // namespace testsupport
