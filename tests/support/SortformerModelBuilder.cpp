#include "tests/support/SortformerModelBuilder.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>

namespace testsupport {
namespace {

TensorValue iota32(std::vector<int64_t> dims, int64_t count) {
  TensorValue value{ElementType::int32, std::move(dims), {}};
  for (int64_t i = 0; i < count; ++i) value.values.push_back(static_cast<double>(i));
  return value;
}

TensorValue scalar32(double v) { return {ElementType::int32, {1}, {v}}; }

TensorValue filled(ElementType type, std::vector<int64_t> dims, double v) {
  int64_t count = 1;
  for (auto d : dims) count *= d;
  return {type, std::move(dims), std::vector<double>(static_cast<std::size_t>(count), v)};
}

void declareInputs(ModelBuilder& model, const SortformerModelSizes& sizes) {
  model.input("chunk", ElementType::float32, {1, sizes.chunkMelFrames(), sizes.melFeatures})
      .input("chunk_lengths", ElementType::int32, {1})
      .input("spkcache", ElementType::float32, {1, sizes.spkcacheLen, sizes.preEncoderDims})
      .input("spkcache_lengths", ElementType::int32, {1})
      .input("fifo", ElementType::float32, {1, sizes.fifoLen, sizes.preEncoderDims})
      .input("fifo_lengths", ElementType::int32, {1});
}

void writeMetadata(ModelBuilder& model, const SortformerModelSizes& sizes) {
  model.creatorDefined("chunk_len", std::to_string(sizes.chunkLen))
      .creatorDefined("chunk_left_context", std::to_string(sizes.chunkLeftContext))
      .creatorDefined("chunk_right_context", std::to_string(sizes.chunkRightContext))
      .creatorDefined("fifo_len", std::to_string(sizes.fifoLen))
      .creatorDefined("spkcache_len", std::to_string(sizes.spkcacheLen));
}

// Frequency range of each slot's chord, inside its quarter of the mel axis.
constexpr double kBandEdges[4][2] = {{100, 680}, {820, 1580}, {1850, 3400}, {3900, 7500}};

// A chord of tones 10 Hz apart from `low` to `high` Hz, about 0.1 RMS whatever the number of tones.
std::vector<float> chordAudio(double low, double high, std::size_t samples, unsigned seed, double sampleRate) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> phase(0, 2 * std::numbers::pi);
  std::vector<double> mix(samples, 0.0);
  int tones = 0;
  for (double f = low; f <= high; f += 10, ++tones) {
    const double step = 2 * std::numbers::pi * f / sampleRate;
    const double start = phase(random);
    for (std::size_t t = 0; t < samples; ++t) mix[t] += std::sin(start + step * static_cast<double>(t));
  }
  const double amplitude = 0.1 * std::sqrt(2.0 / std::max(tones, 1));
  std::vector<float> audio(samples);
  for (std::size_t t = 0; t < samples; ++t) audio[t] = static_cast<float>(mix[t] * amplitude);
  return audio;
}

// The Slaney mel scale: linear below 1 kHz, logarithmic above.
constexpr double kSlaneyLogStep = 0.06875177742094912;  // ln(6.4) / 27

double slaneyMel(double hz) { return hz < 1000 ? hz * 3 / 200 : 15 + std::log(hz / 1000) / kSlaneyLogStep; }

double slaneyHz(double mel) { return mel < 15 ? mel * 200 / 3 : 1000 * std::exp(kSlaneyLogStep * (mel - 15)); }

}  // namespace

std::vector<float> sortformerBandAudio(int slot, std::size_t samples, unsigned seed, double sampleRate) {
  return chordAudio(kBandEdges[slot][0], kBandEdges[slot][1], samples, seed, sampleRate);
}

std::vector<float> melBinsAudio(int firstBin, int lastBin, std::size_t samples, unsigned seed) {
  // Bin b of the filterbank peaks at mel point b + 1 of 130 evenly spaced points.
  const double top = slaneyMel(8000);
  auto centre = [&](int bin) { return slaneyHz(top * (bin + 1) / 129.0); };
  return chordAudio(centre(firstBin), centre(lastBin), samples, seed, 16000);
}

std::filesystem::path installSortformerBundle(const ModelBuilder& model,
                                              const std::filesystem::path& modelsRoot) {
  return model.installBundle(modelsRoot / "sortformer" / "v3" / "fp16" / "SortformerNvidiaLow_v2.1.mlmodelc");
}

ModelBuilder sortformerBandOracleModel(const SortformerModelSizes& sizes,
                                       const SortformerBandOracle& oracle, bool withMetadata) {
  const int64_t melFrames = sizes.chunkMelFrames();
  const int64_t frames = melFrames / sizes.subsamplingFactor;
  const int64_t mels = sizes.melFeatures;
  const int64_t dims = sizes.preEncoderDims;
  const int64_t speakers = sizes.numSpeakers;
  const int64_t rows = sizes.spkcacheLen + sizes.fifoLen + frames;
  const int64_t bandWidth = mels / speakers;

  TensorValue expand = filled(ElementType::float32, {mels, dims}, 0);
  for (int64_t m = 0; m < mels; ++m) expand.values[static_cast<std::size_t>(m * dims + m)] = 1;
  TensorValue band = filled(ElementType::float32, {dims, speakers}, 0);
  for (int64_t m = 0; m < bandWidth * speakers; ++m) {
    band.values[static_cast<std::size_t>(m * speakers + m / bandWidth)] = 1.0 / static_cast<double>(bandWidth);
  }
  TensorValue thresholds{ElementType::float32, {speakers}, {}};
  for (int64_t s = 0; s < speakers; ++s) thresholds.values.push_back(oracle.thresholds[static_cast<std::size_t>(s % 4)]);

  ModelBuilder model("SortformerBandOracle");
  declareInputs(model, sizes);
  model.output("speaker_preds_out", ElementType::float32, {1, rows, speakers})
      .output("chunk_pre_encoder_lengths_out", ElementType::int32, {1})
      .output("chunk_pre_encoder_embs_out", ElementType::float32, {1, frames, dims})
      .initializer("melIndex", iota32({1, melFrames, 1}, melFrames))
      .initializer("silentMel", {ElementType::float32, {1}, {kSortformerSilentMel}})
      .initializer("poolShape", {ElementType::int64, {4}, {1, static_cast<double>(frames),
                                                            static_cast<double>(sizes.subsamplingFactor),
                                                            static_cast<double>(mels)}})
      .initializer("expand", expand)
      .initializer("band", band)
      .initializer("thresholds", thresholds)
      .initializer("alpha", {ElementType::float32, {1}, {oracle.alpha}})
      .initializer("rowIndex", iota32({rows}, rows))
      .initializer("cacheCapacity", scalar32(static_cast<double>(sizes.spkcacheLen)))
      .initializer("cacheFifoCapacity", scalar32(static_cast<double>(sizes.spkcacheLen + sizes.fifoLen)))
      .initializer("lastRow", scalar32(static_cast<double>(rows - 1)))
      .initializer("roundUp", scalar32(static_cast<double>(sizes.subsamplingFactor - 1)))
      .initializer("subsampling", scalar32(static_cast<double>(sizes.subsamplingFactor)))
      // Padding after the valid mel frames reads as silence.
      .node("Less", {"melIndex", "chunk_lengths"}, {"melValid"})
      .node("Where", {"melValid", "chunk", "silentMel"}, {"melMasked"})
      .node("Reshape", {"melMasked", "poolShape"}, {"melGroups"})
      .node("ReduceMean", {"melGroups"}, {"pooled"}, {Attribute("axes", std::vector<int64_t>{2}),
                                                      Attribute("keepdims", 0)})
      .node("MatMul", {"pooled", "expand"}, {"chunk_pre_encoder_embs_out"});
  const std::pair<const char*, const char*> sources[] = {
      {"spkcache", "cacheProbs"}, {"fifo", "fifoProbs"}, {"chunk_pre_encoder_embs_out", "chunkProbs"}};
  for (const auto& [embeddings, probs] : sources) {
    const std::string name = probs;
    model.node("MatMul", {embeddings, "band"}, {name + "Score"})
        .node("Sub", {name + "Score", "thresholds"}, {name + "Margin"})
        .node("Mul", {name + "Margin", "alpha"}, {name + "Logit"})
        .node("Sigmoid", {name + "Logit"}, {name});
  }
  model.node("Concat", {"cacheProbs", "fifoProbs", "chunkProbs"}, {"allProbs"}, {Attribute("axis", 1)})
      // Row r of the packed output: cache row r, FIFO row r − C, or chunk row r − C − F.
      .node("Less", {"rowIndex", "spkcache_lengths"}, {"inCache"})
      .node("Add", {"spkcache_lengths", "fifo_lengths"}, {"validCacheFifo"})
      .node("Less", {"rowIndex", "validCacheFifo"}, {"inFifo"})
      .node("Sub", {"rowIndex", "spkcache_lengths"}, {"afterCache"})
      .node("Add", {"afterCache", "cacheCapacity"}, {"fifoSource"})
      .node("Sub", {"afterCache", "fifo_lengths"}, {"afterFifo"})
      .node("Add", {"afterFifo", "cacheFifoCapacity"}, {"chunkSource"})
      .node("Where", {"inFifo", "fifoSource", "chunkSource"}, {"laterSource"})
      .node("Where", {"inCache", "rowIndex", "laterSource"}, {"source"})
      .node("Min", {"source", "lastRow"}, {"sourceClamped"});
  std::string gatherIndex = "sourceClamped";
  if (oracle.failAboveCoreMel) {
    const double coreStart = static_cast<double>(sizes.chunkLeftContext * sizes.subsamplingFactor);
    const double coreEnd = coreStart + static_cast<double>(sizes.chunkLen * sizes.subsamplingFactor);
    model.initializer("coreStart", {ElementType::int64, {1}, {coreStart}})
        .initializer("coreEnd", {ElementType::int64, {1}, {coreEnd}})
        .initializer("melAxis", {ElementType::int64, {1}, {1}})
        .initializer("failAbove", {ElementType::float32, {1}, {*oracle.failAboveCoreMel}})
        .initializer("outOfRange", scalar32(static_cast<double>(rows)))
        .initializer("inRange", scalar32(0))
        .node("Slice", {"chunk", "coreStart", "coreEnd", "melAxis"}, {"coreMel"})
        .node("ReduceMax", {"coreMel"}, {"coreMax"}, {Attribute("keepdims", 0)})
        .node("Greater", {"coreMax", "failAbove"}, {"tooLoud"})
        .node("Where", {"tooLoud", "outOfRange", "inRange"}, {"failOffset"})
        .node("Add", {"sourceClamped", "failOffset"}, {"sourceChecked"});
    gatherIndex = "sourceChecked";
  }
  model.node("Gather", {"allProbs", gatherIndex}, {"speaker_preds_out"}, {Attribute("axis", 1)})
      .node("Add", {"chunk_lengths", "roundUp"}, {"lengthRounded"})
      .node("Div", {"lengthRounded", "subsampling"}, {"chunk_pre_encoder_lengths_out"});
  if (withMetadata) writeMetadata(model, sizes);
  return model;
}

ModelBuilder sortformerContractModel(SortformerContractShape shape, const SortformerModelSizes& sizes) {
  using Shape = SortformerContractShape;
  const int64_t frames = sizes.chunkFrames();
  ModelBuilder model("SortformerContract");
  declareInputs(model, sizes);
  writeMetadata(model, sizes);

  auto constant = [&](const std::string& name, TensorValue value) {
    model.output(name, value.type, value.dims).node("Constant", {}, {name}, {Attribute("value", value)});
  };
  const bool plain = shape == Shape::outputsWithoutOut;
  if (shape != Shape::noPredictions) {
    constant(plain ? "speaker_preds" : "speaker_preds_out",
             filled(ElementType::float32, {1, sizes.predictionRows(), sizes.numSpeakers}, 0.25));
  }
  if (shape == Shape::emptyLengthsOutBesidePlain) {
    constant("chunk_pre_encoder_lengths_out", TensorValue{ElementType::int32, {0}, {}});
    constant("chunk_pre_encoder_lengths", scalar32(static_cast<double>(frames)));
  } else if (shape != Shape::noLengths) {
    constant(plain ? "chunk_pre_encoder_lengths" : "chunk_pre_encoder_lengths_out",
             scalar32(static_cast<double>(frames)));
  }
  const auto embeddings = filled(ElementType::float32, {1, frames, sizes.preEncoderDims}, 0.5);
  if (shape == Shape::float16EmbeddingsOut || shape == Shape::float16EmbeddingsPlain) {
    const std::string name =
        shape == Shape::float16EmbeddingsOut ? "chunk_pre_encoder_embs_out" : "chunk_pre_encoder_embs";
    model.node("Constant", {}, {"embeddings32"}, {Attribute("value", embeddings)})
        .node("Cast", {"embeddings32"}, {name}, {Attribute("to", static_cast<int>(ElementType::float16))})
        .output(name, ElementType::float16, embeddings.dims);
  } else {
    constant(plain ? "chunk_pre_encoder_embs" : "chunk_pre_encoder_embs_out", embeddings);
  }
  return model;
}

}  // namespace testsupport
