#include "tests/support/CtcModelBuilder.h"

#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace testsupport {
namespace {

constexpr std::int64_t kSamples = 240000;
constexpr std::int64_t kFrames = 240;
constexpr std::int64_t kSamplesPerFrame = kSamples / kFrames;
constexpr float kCodeStep = 0.02f;

void declareOutput(ModelBuilder& model, const std::string& value, const std::string& name, std::vector<int64_t> dims,
                   ElementType type) {
  model.output(name, type, std::move(dims));
  if (type == ElementType::float32) {
    model.node("Identity", {value}, {name});
  } else {
    model.node("Cast", {value}, {name}, {Attribute("to", static_cast<int64_t>(type))});
  }
}

// `value` [1, T, V] in the layout the options ask for, as `name`.
void declareHead(ModelBuilder& model, const std::string& value, const std::string& name, const CtcStandIns& options) {
  const std::int64_t v = options.vocabularySize;
  if (options.rank2Output) {
    model.initializer(name + "Flat", TensorValue::int64s({kFrames, v})).node("Reshape", {value, name + "Flat"}, {name + "Laid"});
    declareOutput(model, name + "Laid", name, {kFrames, v}, options.outputType);
  } else if (options.rank4Output) {
    model.initializer(name + "Axes", TensorValue::int64s({2}))
        .node("Transpose", {value}, {name + "Swapped"}, {Attribute("perm", std::vector<int64_t>{0, 2, 1})})
        .node("Unsqueeze", {name + "Swapped", name + "Axes"}, {name + "Laid"});
    declareOutput(model, name + "Laid", name, {1, v, 1, kFrames}, options.outputType);
  } else {
    declareOutput(model, value, name, {1, kFrames, v}, options.outputType);
  }
}

}  // namespace

float ctcCode(std::int64_t id, const CtcStandIns& options) {
  if (id < 0 || id >= options.vocabularySize - 1) return 0;
  return static_cast<float>(id + 1) * kCodeStep;
}

std::vector<std::string> ctcPieces(const CtcStandIns& options) {
  std::vector<std::string> pieces = {"<unk>", "\u2581"};
  for (char c = 'a'; c <= 'z'; ++c) pieces.emplace_back(1, c);
  for (const char* merged : {"te", "ss", "el", "\u2581t"}) pieces.emplace_back(merged);
  while (static_cast<std::int64_t>(pieces.size()) < options.vocabularySize - 1) {
    pieces.push_back("<f" + std::to_string(pieces.size()) + ">");
  }
  pieces.resize(static_cast<std::size_t>(options.vocabularySize - 1));
  return pieces;
}

std::string ctcVocabularyJson(const CtcStandIns& options) {
  nlohmann::json json = nlohmann::json::object();
  const std::vector<std::string> pieces = ctcPieces(options);
  for (std::size_t i = 0; i < pieces.size(); ++i) json[std::to_string(i)] = pieces[i];
  return json.dump();
}

TokenizerFileBuilder ctcTokenizer(const CtcStandIns& options) {
  TokenizerFileBuilder tokenizer;
  tokenizer.pieces = ctcPieces(options);
  tokenizer.merges = {"t e", "s s", "e l", "\u2581 t"};
  return tokenizer;
}

ModelBuilder ctcMelSpectrogram(const CtcStandIns& options) {
  ModelBuilder model("MelSpectrogram");
  const std::vector<int64_t> audioDims = options.rank1Audio ? std::vector<int64_t>{kSamples}
                                                            : std::vector<int64_t>{1, kSamples};
  model.input("audio", options.float16Audio ? ElementType::float16 : ElementType::float32, audioDims)
      .input("audio_length", ElementType::int32, {1})
      .initializer("frameShape", TensorValue::int64s({1, 1, kFrames, kSamplesPerFrame}));
  std::string audio = "audio";
  if (options.float16Audio) {
    model.node("Cast", {"audio"}, {"audio32"}, {Attribute("to", static_cast<int64_t>(ElementType::float32))});
    audio = "audio32";
  }
  model.node("Reshape", {audio, "frameShape"}, {"frames"})
      .node("ReduceMean", {"frames"}, {"levels"},
            {Attribute("axes", std::vector<int64_t>{3}), Attribute("keepdims", int64_t{options.rank4Mel ? 1 : 0})});
  declareOutput(model, "levels", options.melFeaturesName,
                options.rank4Mel ? std::vector<int64_t>{1, 1, kFrames, 1} : std::vector<int64_t>{1, 1, kFrames},
                ElementType::float32);
  if (options.melLength) {
    model.output("mel_length", ElementType::int32, {1})
        .node("Constant", {}, {"mel_length"}, {Attribute("value", TensorValue{ElementType::int32, {1}, {static_cast<double>(options.melLengthValue)}})});
  }
  return model;
}

ModelBuilder ctcAudioEncoder(const CtcStandIns& options) {
  const std::int64_t v = options.vocabularySize;
  std::vector<double> codes;
  for (std::int64_t id = 0; id < v; ++id) codes.push_back(ctcCode(id, options));
  ModelBuilder model("AudioEncoder");
  model.input("melspectrogram_features", ElementType::float32,
              options.rank4Mel ? std::vector<int64_t>{1, 1, kFrames, 1} : std::vector<int64_t>{1, 1, kFrames})
      .input("mel_length", ElementType::int32, {1})
      .input("input_1", ElementType::float16, {1, 1, 1, 1})
      .initializer("column", TensorValue::int64s({1, -1, 1}))
      .initializer("codes", {ElementType::float32, {v}, codes})
      .initializer("negSharpness", {ElementType::float32, {}, {-options.sharpness}})
      .node("Reshape", {"melspectrogram_features", "column"}, {"levels"})
      .node("Sub", {"levels", "codes"}, {"distance"})
      .node("Mul", {"distance", "distance"}, {"squared"})
      .node("Mul", {"squared", "negSharpness"}, {"logits"});
  if (options.rawOutput) declareHead(model, "logits", "ctc_head_raw_output", options);
  if (options.softmaxOutput) {
    model.node("Softmax", {"logits"}, {"probabilities"}, {Attribute("axis", int64_t{-1})});
    declareHead(model, "probabilities", "ctc_head_output", options);
  }
  if (!options.rawOutput && !options.softmaxOutput) {
    model.output("ctc_head_other", ElementType::float32, {1, kFrames, v}).node("Identity", {"logits"}, {"ctc_head_other"});
  }
  return model;
}

void writeCtcFolder(const std::filesystem::path& folder, const CtcStandIns& options) {
  std::filesystem::create_directories(folder);
  ctcMelSpectrogram(options).writeBundle(folder);
  ctcAudioEncoder(options).writeBundle(folder);
  std::ofstream vocabulary(folder / "vocab.json", std::ios::binary);
  vocabulary << ctcVocabularyJson(options);
  if (!vocabulary.flush()) throw std::runtime_error("cannot write " + (folder / "vocab.json").string());
  ctcTokenizer(options).write(folder);
}

std::vector<float> ctcSpokenAudio(const std::vector<std::int64_t>& frames, const CtcStandIns& options) {
  std::vector<float> samples;
  samples.reserve(frames.size() * kSamplesPerFrame);
  for (std::int64_t id : frames) samples.insert(samples.end(), kSamplesPerFrame, ctcCode(id, options));
  return samples;
}

}  // namespace testsupport
