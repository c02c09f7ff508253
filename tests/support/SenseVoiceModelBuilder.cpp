#include "tests/support/SenseVoiceModelBuilder.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/FrameMeanPreprocessor.h"

namespace testsupport {
namespace {

constexpr std::int64_t kVocabularySize = 64;
// Enough rows for the longest default bucket and its four query rows.
constexpr std::int64_t kScriptRows = 1804;

std::int64_t asInt(ElementType type) { return static_cast<std::int64_t>(type); }

TensorValue scalar(std::int64_t value) { return {ElementType::int64, {}, {static_cast<double>(value)}}; }

// [1, kScriptRows, 64]; row 0 is replaced by the language row.
TensorValue script(const std::vector<int>& speechIds) {
  std::vector<double> values(static_cast<std::size_t>(kScriptRows * kVocabularySize), 0.0);
  const auto set = [&](std::int64_t row, int id, double value) {
    values[static_cast<std::size_t>(row * kVocabularySize + id)] = value;
  };
  set(1, SenseVoicePieceIds::happy, 2.0);
  set(2, SenseVoicePieceIds::speech, 1.0);
  set(3, SenseVoicePieceIds::withitn, 1.0);
  for (std::size_t i = 0; i < speechIds.size(); ++i) set(4 + static_cast<std::int64_t>(i), speechIds[i], 1.0);
  return {ElementType::float32, {1, kScriptRows, kVocabularySize}, values};
}

void declareSpeech(ModelBuilder& model, SenseVoiceStandIns::SpeechShapes shapes) {
  using Shapes = SenseVoiceStandIns::SpeechShapes;
  model.input("speech", ElementType::float32, {1, shapes == Shapes::fixed300 ? 300 : -1, 560});
  if (shapes == Shapes::enumerated) model.enumeratedShapes("speech", {{1, 300, 560}, {1, 900, 560}});
  if (shapes == Shapes::range) model.shapeRange("speech", {{1, 1}, {1, 1800}, {560, 560}});
}

}  // namespace

std::vector<std::string> senseVoicePieces() {
  std::vector<std::string> pieces = {"<unk>",       "<|zh|>",    "<|en|>",   "<|ja|>",     "<|yue|>",
                                     "<|withitn|>", "<|SAD|>",   "<|HAPPY|>", "<|Speech|>", "<|BGM|>",
                                     "<||>",        "<|x|>",     "\u2581こんにちは", "世界", "\u2581<|"};
  while (pieces.size() < kVocabularySize) pieces.push_back("\u2581w" + std::to_string(pieces.size()));
  return pieces;
}

ModelBuilder senseVoicePreprocessor(const SenseVoiceStandIns& options) {
  return frameMeanPreprocessor("SenseVoicePreprocessor", "waveform", options.featuresName, options.featureWidth);
}

ModelBuilder senseVoiceEncoder(const std::string& name, const SenseVoiceStandIns& options) {
  ModelBuilder model(name);
  declareSpeech(model, options.speechShapes);
  model.input("speech_lengths", ElementType::int32, {1})
      .input("language", ElementType::int32, {1})
      .input("textnorm", ElementType::int32, {1})
      .initializer("script", script(options.speechIds))
      .initializer("zero", scalar(0))
      .initializer("vocabularySize", scalar(kVocabularySize))
      .initializer("step", scalar(1))
      .initializer("rowShape", TensorValue::int64s({1, 1, kVocabularySize}))
      .initializer("frameAxis", TensorValue::int64s({1}))
      .initializer("queryRows", TensorValue::int64s({4}))
      .initializer("firstScriptRow", TensorValue::int64s({1}))
      // The language row: Equal(Range(64), language) as floats.
      .node("Range", {"zero", "vocabularySize", "step"}, {"ids"})
      .node("Cast", {"language"}, {"languageId"}, {Attribute("to", asInt(ElementType::int64))})
      .node("Equal", {"ids", "languageId"}, {"isLanguage"})
      .node("Cast", {"isLanguage"}, {"languageValues"}, {Attribute("to", asInt(ElementType::float32))})
      .node("Reshape", {"languageValues", "rowShape"}, {"languageRow"})
      // Script rows 1 … B + 3.
      .node("Shape", {"speech"}, {"speechShape"})
      .node("Gather", {"speechShape", "frameAxis"}, {"bucket"})
      .node("Add", {"bucket", "queryRows"}, {"end"})
      .node("Slice", {"script", "firstScriptRow", "end", "frameAxis"}, {"scripted"})
      .node("Concat", {"languageRow", "scripted"}, {"rows"}, {Attribute("axis", std::int64_t{1})});
  std::string value = "rows";
  if (options.logitsRows) {
    model.initializer("cutStart", TensorValue::int64s({0}))
        .initializer("cutEnd", TensorValue::int64s({*options.logitsRows}))
        .node("Slice", {value, "cutStart", "cutEnd", "frameAxis"}, {"fewerRows"});
    value = "fewerRows";
  }
  if (options.flatLogits) {
    model.initializer("flat", TensorValue::int64s({-1})).node("Reshape", {value, "flat"}, {"flatRows"});
    value = "flatRows";
  }
  model.output(options.logitsName, options.logitsType,
               options.flatLogits ? std::vector<int64_t>{-1} : std::vector<int64_t>{1, -1, kVocabularySize});
  if (options.logitsType == ElementType::float32) {
    model.node("Identity", {value}, {options.logitsName});
  } else {
    model.node("Cast", {value}, {options.logitsName}, {Attribute("to", asInt(options.logitsType))});
  }
  return model;
}

void writeSenseVoiceFolder(const std::filesystem::path& folder, const SenseVoiceStandIns& options) {
  std::filesystem::create_directories(folder);
  senseVoicePreprocessor(options).writeBundle(folder);
  for (const char* name : {"SenseVoiceSmall", "SenseVoiceSmall_int8", "SenseVoiceSmall_fp32"}) {
    senseVoiceEncoder(name, options).writeBundle(folder);
  }
  std::ofstream(folder / "vocab.json")
      << nlohmann::json(options.pieces.empty() ? senseVoicePieces() : options.pieces).dump();
}

}  // namespace testsupport
