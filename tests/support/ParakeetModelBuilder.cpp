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

void writeParakeetModelSet(const std::filesystem::path& folder, const ParakeetModelSet& set) {
  std::filesystem::create_directories(folder);
  writeBundleAs(parakeetPreprocessor(), folder, set.preprocessorFile);
  if (!set.encoderFile.empty()) writeBundleAs(parakeetEncoder(set.encoder), folder, set.encoderFile);
  ParakeetDecoderScript decoder;
  decoder.layers = set.decoderLayers;
  writeBundleAs(parakeetDecoder(decoder), folder, set.decoderFile);
  if (!set.jointFile.empty()) {
    ParakeetJointScript joint;
    joint.tokenIds = {0};
    joint.probabilities = {1.0f};
    writeBundleAs(parakeetJoint(joint), folder, set.jointFile);
  }
  if (!set.vocabulary.empty()) {
    std::ofstream(folder / set.vocabularyFile, std::ios::binary) << set.vocabulary;
  }
}

std::string parakeetVocabulary(std::int64_t count) {
  std::string json = "[";
  for (std::int64_t id = 0; id < count; ++id) {
    if (id > 0) json += ",";
    json += "\"t" + std::to_string(id) + "\"";
  }
  return json + "]";
}

}  // namespace testsupport
