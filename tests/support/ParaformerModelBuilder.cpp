#include "tests/support/ParaformerModelBuilder.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/FrameMeanPreprocessor.h"

namespace testsupport {
namespace {

constexpr std::int64_t kVocabularySize = 140;
constexpr std::int64_t kEncoderDim = 512;
constexpr int kFirstPieceId = 3;

std::string utf8(char32_t c) {
  std::string out;
  out += static_cast<char>(0xE0 | (c >> 12));
  out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

// `value` as `name`, cast when `type` is not float32.
void declareOutput(ModelBuilder& model, const std::string& value, const std::string& name,
                   std::vector<int64_t> dims, ElementType type) {
  model.output(name, type, std::move(dims));
  if (type == ElementType::float32) {
    model.node("Identity", {value}, {name});
  } else {
    model.node("Cast", {value}, {name}, {Attribute("to", static_cast<int64_t>(type))});
  }
}

// `value` cut to its first `count` entries along `axis`, as `into`.
void cutAlong(ModelBuilder& model, const std::string& value, std::int64_t axis, std::int64_t count,
              const std::string& into) {
  const std::string prefix = into + "Cut";
  model.initializer(prefix + "Start", TensorValue::int64s({0}))
      .initializer(prefix + "End", TensorValue::int64s({count}))
      .initializer(prefix + "Axes", TensorValue::int64s({axis}))
      .node("Slice", {value, prefix + "Start", prefix + "End", prefix + "Axes"}, {into});
}

}  // namespace

std::vector<std::string> paraformerPieces() {
  std::vector<std::string> pieces = {"<blank>", "<s>", "</s>"};
  for (char32_t c = 0x4E00; pieces.size() < kVocabularySize; ++c) pieces.push_back(utf8(c));
  return pieces;
}

std::string paraformerVocabularyJson(const std::vector<std::string>& pieces) { return nlohmann::json(pieces).dump(); }

ModelBuilder paraformerPreprocessor(const ParaformerStandIns& options) {
  return frameMeanPreprocessor("ParaformerPreprocessor", "waveform", options.featuresName, options.featureWidth);
}

ModelBuilder paraformerEncoder(const std::string& name, const ParaformerStandIns& options) {
  ModelBuilder model(name);
  model.input("speech", ElementType::float32, {1, -1, 560})
      .input("speech_lengths", ElementType::int32, {1})
      .initializer("rowWidth", TensorValue::int64s({1, 1, kEncoderDim}));
  cutAlong(model, "speech", 2, 1, "firstValues");
  model.node("Expand", {"firstValues", "rowWidth"}, {"rows"});
  std::string value = "rows";
  if (options.encOutRows) {
    cutAlong(model, value, 1, *options.encOutRows, "fewerRows");
    value = "fewerRows";
  }
  if (options.flatEncOut) {
    model.initializer("flat", TensorValue::int64s({1, -1})).node("Reshape", {value, "flat"}, {"flatRows"});
    value = "flatRows";
  }
  declareOutput(model, value, options.encOutName,
                options.flatEncOut ? std::vector<int64_t>{1, -1} : std::vector<int64_t>{1, -1, kEncoderDim},
                options.encOutType);
  return model;
}

ModelBuilder paraformerCifAlphas(const ParaformerStandIns& options) {
  ModelBuilder model("ParaformerCifAlphas");
  model.input("enc_out", ElementType::float32, {1, -1, kEncoderDim});
  std::string value = "weights";
  if (options.bucketAlphas) {
    model.initializer("frameAxis", TensorValue::int64s({1}))
        .initializer("batch", TensorValue::int64s({1}))
        .initializer("tokens", {ElementType::float32, {1}, {64}})
        .node("Shape", {"enc_out"}, {"shape"})
        .node("Gather", {"shape", "frameAxis"}, {"bucket"})
        .node("Concat", {"batch", "bucket"}, {"alphasShape"}, {Attribute("axis", int64_t{0})})
        .node("Cast", {"bucket"}, {"bucketFloat"}, {Attribute("to", static_cast<int64_t>(ElementType::float32))})
        .node("Div", {"tokens", "bucketFloat"}, {"perFrame"})
        .node("Expand", {"perFrame", "alphasShape"}, {"weights"});
  } else {
    model.initializer("valueAxis", TensorValue::int64s({2}));
    cutAlong(model, "enc_out", 2, 1, "firstValues");
    model.node("Squeeze", {"firstValues", "valueAxis"}, {"weights"});
  }
  if (options.alphasValues) {
    cutAlong(model, value, 1, *options.alphasValues, "fewerWeights");
    value = "fewerWeights";
  }
  declareOutput(model, value, options.alphasName, {1, -1}, ElementType::float32);
  return model;
}

ModelBuilder paraformerDecoder(const std::string& name, const ParaformerStandIns& options) {
  const std::int64_t rows = options.logitsRows;
  std::vector<double> table(static_cast<std::size_t>(rows * kVocabularySize), 0.0);
  for (std::int64_t k = 0; k < rows && kFirstPieceId + k < kVocabularySize; ++k) {
    table[static_cast<std::size_t>(k * kVocabularySize + kFirstPieceId + k)] = 1.0;
  }
  ModelBuilder model(name);
  model.input("enc", ElementType::float32, {1, 512, kEncoderDim})
      .input("elen", ElementType::int32, {1})
      .input("ac", ElementType::float32, {1, 128, kEncoderDim})
      .input("tn", ElementType::int32, {1})
      .initializer("table", {ElementType::float32, {1, rows, kVocabularySize}, table});
  std::string value = "table";
  if (options.failingDecoder) {
    // Gathering past the end of "tn" fails on every run.
    model.initializer("pastEnd", {ElementType::int64, {}, {5}})
        .node("Gather", {"tn", "pastEnd"}, {"picked"})
        .node("Cast", {"picked"}, {"pickedFloat"}, {Attribute("to", static_cast<int64_t>(ElementType::float32))})
        .node("Add", {"table", "pickedFloat"}, {"failed"});
    value = "failed";
  }
  declareOutput(model, value, options.logitsName, {1, rows, kVocabularySize}, ElementType::float32);
  return model;
}

void writeParaformerFolder(const std::filesystem::path& folder, const ParaformerStandIns& options) {
  std::filesystem::create_directories(folder);
  paraformerPreprocessor(options).writeBundle(folder);
  paraformerEncoder("ParaformerEncoder", options).writeBundle(folder);
  paraformerEncoder("ParaformerEncoder_int8", options).writeBundle(folder);
  paraformerCifAlphas(options).writeBundle(folder);
  paraformerDecoder("ParaformerDecoder", options).writeBundle(folder);
  paraformerDecoder("ParaformerDecoder_int8", options).writeBundle(folder);
  std::ofstream(folder / "vocab.json")
      << paraformerVocabularyJson(options.pieces.empty() ? paraformerPieces() : options.pieces);
}

std::vector<float> paraformerWeightedAudio(const std::vector<float>& weights) {
  std::vector<float> samples;
  samples.reserve(weights.size() * 160);
  for (const float weight : weights) samples.insert(samples.end(), 160, weight / 32768.0f);
  return samples;
}

}  // namespace testsupport
