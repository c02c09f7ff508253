#include "tests/support/Nemotron3ModelBuilder.h"

#include <cstring>

namespace testsupport {
namespace {

constexpr std::int64_t kStacked = kNemotron3Subsampling * kNemotron3Mels;  // 1024
constexpr std::int64_t kBandWidth = 16;

TensorValue int32s(std::vector<double> values) {
  const auto count = static_cast<std::int64_t>(values.size());
  return {ElementType::int32, {count}, std::move(values)};
}

TensorValue int64s(std::vector<double> values) {
  const auto count = static_cast<std::int64_t>(values.size());
  return {ElementType::int64, {count}, std::move(values)};
}

double d(std::int64_t value) { return static_cast<double>(value); }

// Adds the band scorer: `rows` [1, R, 512] → `out` [1, R, 8].
void scoreRows(ModelBuilder& model, const std::string& rows, const std::string& out, const Nemotron3BandScorer& scorer) {
  TensorValue band{ElementType::float32, {kNemotron3Dims, kNemotron3Speakers}, {}};
  band.values.assign(static_cast<std::size_t>(kNemotron3Dims * kNemotron3Speakers), 0.0);
  for (std::int64_t k = 0; k < kNemotron3Speakers; ++k) {
    for (std::int64_t c = 16 * k; c < 16 * k + kBandWidth; ++c) {
      band.values[static_cast<std::size_t>(c * kNemotron3Speakers + k)] = 1.0 / kBandWidth;
    }
  }
  model.initializer("band", band)
      .initializer("theta", {ElementType::float32, {kNemotron3Speakers},
                             std::vector<double>(scorer.thresholds.begin(), scorer.thresholds.end())})
      .initializer("alpha", {ElementType::float32, {1}, {scorer.alpha}})
      .node("MatMul", {rows, "band"}, {"bandMean"})
      .node("Sub", {"bandMean", "theta"}, {"margin"})
      .node("Mul", {"margin", "alpha"}, {"logit"})
      .node("Sigmoid", {"logit"}, {out});
}

// Adds `preds` [1, T, 8] repeated 8 times per row as `out` [1, 8T, 8].
void upsample(ModelBuilder& model, const Nemotron3ModelSizes& sizes, const std::string& preds, const std::string& out) {
  const std::int64_t rows = sizes.packedFrames();
  model.initializer("rowsApart", int64s({1, d(rows), 1, d(kNemotron3Speakers)}))
      .initializer("repeats", int64s({1, 1, 8, 1}))
      .initializer("hiresShape", int64s({1, d(rows * 8), d(kNemotron3Speakers)}))
      .node("Reshape", {preds, "rowsApart"}, {"rowsApartPreds"})
      .node("Tile", {"rowsApartPreds", "repeats"}, {"tiledPreds"})
      .node("Reshape", {"tiledPreds", "hiresShape"}, {out});
}

}  // namespace

ModelBuilder nemotron3FusedModel(const std::string& name, const Nemotron3ModelSizes& sizes,
                                 Nemotron3FusedVariant variant, const Nemotron3BandScorer& scorer) {
  using Variant = Nemotron3FusedVariant;
  const std::int64_t window = sizes.chunkEncFrames;
  const std::int64_t rows = sizes.packedFrames();
  const bool half = variant == Variant::float16Outputs;
  const auto outputType = half ? ElementType::float16 : ElementType::float32;
  ModelBuilder model(name);
  model.input("chunk", ElementType::float32, {1, window * kNemotron3Subsampling, kNemotron3Mels})
      .input("chunk_lengths", ElementType::int32, {1})
      .input("spkcache_lengths", ElementType::int32, {1})
      .input("fifo_lengths", ElementType::int32, {1})
      .input("spkcache", ElementType::float32, {1, sizes.spkcacheLen, kNemotron3Dims})
      .input("fifo", ElementType::float32, {1, sizes.fifoLen, kNemotron3Dims})
      .initializer("stackedShape", int64s({1, d(window), d(kStacked)}))
      .initializer("embStart", int64s({0}))
      .initializer("embEnd", int64s({d(kNemotron3Dims)}))
      .initializer("embAxis", int64s({2}))
      .initializer("rangeStart", int32s({0}))
      .initializer("rangeLimit", int32s({d(rows)}))
      .initializer("rangeStep", int32s({1}))
      .initializer("cacheCapacity", int32s({d(sizes.spkcacheLen)}))
      .initializer("cacheFifoCapacity", int32s({d(sizes.spkcacheLen + sizes.fifoLen)}))
      .initializer("lastRow", int32s({d(rows - 1)}))
      .node("Reshape", {"chunk", "stackedShape"}, {"stacked"})
      .node("Slice", {"stacked", "embStart", "embEnd", "embAxis"}, {"embeddings"})
      .node("Concat", {"spkcache", "fifo", "embeddings"}, {"full"}, {Attribute("axis", 1)})
      // Row r: cache row r, FIFO row r − m, or window row r − m − C.
      .node("Range", {"rangeStart", "rangeLimit", "rangeStep"}, {"r"})
      .node("Less", {"r", "spkcache_lengths"}, {"inCache"})
      .node("Add", {"spkcache_lengths", "fifo_lengths"}, {"used"})
      .node("Less", {"r", "used"}, {"inFifo"})
      .node("Sub", {"r", "spkcache_lengths"}, {"afterCache"})
      .node("Add", {"afterCache", "cacheCapacity"}, {"fifoSource"})
      .node("Sub", {"afterCache", "fifo_lengths"}, {"afterFifo"})
      .node("Add", {"afterFifo", "cacheFifoCapacity"}, {"chunkSource"})
      .node("Where", {"inFifo", "fifoSource", "chunkSource"}, {"laterSource"})
      .node("Where", {"inCache", "r", "laterSource"}, {"source"})
      .node("Min", {"source", "lastRow"}, {"index"});
  std::string index = "index";
  if (variant == Variant::alwaysFails) {
    model.initializer("outOfRange", int32s({d(rows)})).node("Add", {"index", "outOfRange"}, {"brokenIndex"});
    index = "brokenIndex";
  } else if (scorer.failAboveCoreMel) {
    model.initializer("coreBegin", int64s({d(scorer.coreMelBegin)}))
        .initializer("coreEnd", int64s({d(scorer.coreMelEnd)}))
        .initializer("melAxis", int64s({1}))
        .initializer("failAbove", {ElementType::float32, {1}, {*scorer.failAboveCoreMel}})
        .initializer("outOfRange", int32s({d(rows)}))
        .initializer("inRange", int32s({0}))
        .node("Slice", {"chunk", "coreBegin", "coreEnd", "melAxis"}, {"coreMel"})
        .node("ReduceMax", {"coreMel"}, {"coreMax"}, {Attribute("keepdims", 0)})
        .node("Greater", {"coreMax", "failAbove"}, {"tooLoud"})
        .node("Where", {"tooLoud", "outOfRange", "inRange"}, {"failOffset"})
        .node("Add", {"index", "failOffset"}, {"checkedIndex"});
    index = "checkedIndex";
  }
  model.node("Gather", {"full", index}, {"ordered"}, {Attribute("axis", 1)});
  scoreRows(model, "ordered", "preds32", scorer);
  upsample(model, sizes, "preds32", "hires32");

  std::string preds = "preds32";
  std::int64_t predRows = rows;
  if (variant == Variant::longPredictions) {
    model.initializer("firstRowEnd", int64s({1}))
        .initializer("rowAxis", int64s({1}))
        .node("Slice", {"preds32", "embStart", "firstRowEnd", "rowAxis"}, {"firstRow"})
        .node("Concat", {"preds32", "firstRow"}, {"longPreds"}, {Attribute("axis", 1)});
    preds = "longPreds";
    predRows = rows + 1;
  }
  auto emit = [&](const std::string& from, const std::string& to, std::vector<std::int64_t> dims) {
    if (half) {
      model.node("Cast", {from}, {to}, {Attribute("to", static_cast<int>(ElementType::float16))});
    } else {
      model.node("Identity", {from}, {to});
    }
    model.output(to, outputType, std::move(dims));
  };
  emit(preds, "speaker_preds", {1, predRows, kNemotron3Speakers});
  emit("hires32", "speaker_preds_10ms", {1, rows * 8, kNemotron3Speakers});
  if (variant != Variant::withoutEmbeddings) emit("embeddings", "chunk_pre_encode_embs", {1, window, kNemotron3Dims});
  return model;
}

ModelBuilder nemotron3SplitModel(const std::string& name, const Nemotron3ModelSizes& sizes,
                                 const Nemotron3BandScorer& scorer) {
  const std::int64_t rows = sizes.packedFrames();
  ModelBuilder model(name);
  model.input("packed", ElementType::float32, {1, rows, kNemotron3Dims})
      .input("attn_bias", ElementType::float32, {1, 1, 1, rows})
      .input("output_mask", ElementType::float32, {1, rows, 1});
  scoreRows(model, "packed", "scored", scorer);
  model.node("Mul", {"scored", "output_mask"}, {"speaker_preds"});
  upsample(model, sizes, "speaker_preds", "speaker_preds_10ms");
  model.output("speaker_preds", ElementType::float32, {1, rows, kNemotron3Speakers})
      .output("speaker_preds_10ms", ElementType::float32, {1, rows * 8, kNemotron3Speakers});
  return model;
}

std::vector<float> nemotron3IdentityProjection() {
  std::vector<float> projection(static_cast<std::size_t>(kStacked * kNemotron3Dims), 0.0f);
  for (std::int64_t i = 0; i < kNemotron3Dims; ++i) projection[static_cast<std::size_t>(i * kNemotron3Dims + i)] = 1.0f;
  return projection;
}

std::string nemotron3AssetBytes(const std::vector<float>& values) {
  std::string bytes(values.size() * sizeof(float), '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<float> nemotron3Chunk(const Nemotron3ModelSizes& sizes, const std::vector<int>& speakerOfFrame) {
  std::vector<float> chunk(static_cast<std::size_t>(sizes.chunkEncFrames * kStacked), 0.0f);
  for (std::size_t j = 0; j < speakerOfFrame.size() && static_cast<std::int64_t>(j) < sizes.chunkEncFrames; ++j) {
    if (speakerOfFrame[j] < 0) continue;
    const std::size_t start = j * kStacked + static_cast<std::size_t>(16 * speakerOfFrame[j]);
    for (std::size_t b = 0; b < kBandWidth; ++b) chunk[start + b] = 1.0f;
  }
  return chunk;
}

}  // namespace testsupport
