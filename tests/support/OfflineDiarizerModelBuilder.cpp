#include "tests/support/OfflineDiarizerModelBuilder.h"

#include <cassert>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/ml/MLModel.h"

namespace testsupport {
namespace {

TensorValue floats(std::vector<int64_t> dims, std::vector<double> values) {
  return {ElementType::float32, std::move(dims), std::move(values)};
}

constexpr int64_t kFramedSamples = kOfflineFrames * kOfflineSamplesPerFrame;

// Adds "levels" [B, 589, 1]: the mean of each frame's 271 samples of "audio" [B, 1, 160000].
void frameLevels(ModelBuilder& model) {
  model.initializer("framedStarts", TensorValue::int64s({0}))
      .initializer("framedEnds", TensorValue::int64s({kFramedSamples}))
      .initializer("framedAxes", TensorValue::int64s({2}))
      .initializer("framedShape", TensorValue::int64s({-1, kOfflineFrames, kOfflineSamplesPerFrame}))
      .node("Slice", {"audio", "framedStarts", "framedEnds", "framedAxes"}, {"framed"})
      .node("Reshape", {"framed", "framedShape"}, {"frames"})
      .node("ReduceMean", {"frames"}, {"levels"}, {Attribute("axes", std::vector<int64_t>{2}), Attribute("keepdims", 1)});
}

}  // namespace

ModelBuilder dcSegmentationModel() {
  ModelBuilder model("Segmentation");
  model.input("audio", ElementType::float32, {-1, 1, kOfflineWindowSamples})
      .output("segments", ElementType::float32, {-1, kOfflineFrames, 7});
  frameLevels(model);
  model.initializer("classWeights", floats({7}, {0, 10, -10, 0, 0, 0, 0}))
      .initializer("classBiases", floats({7}, {0.5, 0, 0, -1, -1, -1, -1}))
      .node("Mul", {"levels", "classWeights"}, {"weighted"})
      .node("Add", {"weighted", "classBiases"}, {"segments"});
  return model;
}

ModelBuilder echoOfflineSegmentationModel(std::int64_t offset, std::int64_t classes, EchoOutput output,
                                          std::optional<std::int64_t> fixedBatch) {
  const bool firstWindowOnly = output == EchoOutput::twoDimensional || output == EchoOutput::rankFour;
  const int64_t windows = output == EchoOutput::rankFour ? 2 : 1;
  const int64_t count = windows * kOfflineFrames * classes;
  assert(offset >= 0 && offset + count <= kOfflineWindowSamples);
  std::string name = "segments";
  std::vector<int64_t> shape = {-1, kOfflineFrames, classes};
  if (output == EchoOutput::logProbs) name = "log_probs";
  if (output == EchoOutput::otherName) name = "scores";
  if (output == EchoOutput::twoDimensional) shape = {kOfflineFrames, classes};
  if (output == EchoOutput::rankFour) shape = {1, 2, kOfflineFrames, classes};

  ModelBuilder model("Segmentation");
  model.input("audio", ElementType::float32, {fixedBatch.value_or(-1), 1, kOfflineWindowSamples})
      .output(name, ElementType::float32, shape);
  if (firstWindowOnly) {
    model.initializer("echoStarts", TensorValue::int64s({0, offset}))
        .initializer("echoEnds", TensorValue::int64s({1, offset + count}))
        .initializer("echoAxes", TensorValue::int64s({0, 2}));
  } else {
    model.initializer("echoStarts", TensorValue::int64s({offset}))
        .initializer("echoEnds", TensorValue::int64s({offset + count}))
        .initializer("echoAxes", TensorValue::int64s({2}));
  }
  model.initializer("echoShape", TensorValue::int64s(shape))
      .node("Slice", {"audio", "echoStarts", "echoEnds", "echoAxes"}, {"echo"})
      .node("Reshape", {"echo", "echoShape"}, {name});
  return model;
}

ModelBuilder fbankModel() {
  ModelBuilder model("FBank");
  model.input("audio", ElementType::float32, {1, 1, kOfflineWindowSamples})
      .output("fbank_features", ElementType::float32, {1, 1, 1, kOfflineFrames});
  frameLevels(model);
  model.initializer("featureShape", TensorValue::int64s({1, 1, 1, kOfflineFrames}))
      .node("Reshape", {"levels", "featureShape"}, {"fbank_features"});
  return model;
}

ModelBuilder embeddingModel() {
  std::vector<double> first(kEmbeddingDimension, 0.0);
  first[0] = 1.0;
  ModelBuilder model("Embedding");
  model.input("fbank_features", ElementType::float32, {1, 1, 1, kOfflineFrames})
      .input("weights", ElementType::float32, {1, kOfflineFrames})
      .output("embedding", ElementType::float32, {1, kEmbeddingDimension})
      .initializer("rowShape", TensorValue::int64s({1, kOfflineFrames}))
      .initializer("frameAxis", TensorValue::int64s({1}))
      .initializer("firstAxis", floats({1, kEmbeddingDimension}, first))
      .node("Reshape", {"fbank_features", "rowShape"}, {"featureRow"})
      .node("Mul", {"featureRow", "weights"}, {"weightedFeatures"})
      .node("ReduceSum", {"weightedFeatures", "frameAxis"}, {"weightedSum"})
      .node("ReduceSum", {"weights", "frameAxis"}, {"weightSum"})
      .node("Div", {"weightedSum", "weightSum"}, {"average"})
      .node("Mul", {"average", "firstAxis"}, {"embedding"});
  return model;
}

ModelBuilder probeFbankModel(const std::vector<std::int64_t>& positions) {
  assert(positions.size() <= static_cast<std::size_t>(kOfflineFrames));
  std::vector<std::int64_t> indices(positions);
  indices.resize(static_cast<std::size_t>(kOfflineFrames), 0);
  ModelBuilder model("FBank");
  model.input("audio", ElementType::float32, {1, 1, kOfflineWindowSamples})
      .output("fbank_features", ElementType::float32, {1, 1, 1, kOfflineFrames})
      .initializer("probePositions", TensorValue::int64s(indices))
      .initializer("featureShape", TensorValue::int64s({1, 1, 1, kOfflineFrames}))
      .node("Gather", {"audio", "probePositions"}, {"probes"}, {Attribute("axis", 2)})
      .node("Reshape", {"probes", "featureShape"}, {"fbank_features"});
  return model;
}

ModelBuilder echoEmbeddingModel() {
  ModelBuilder model("Embedding");
  model.input("fbank_features", ElementType::float32, {1, 1, 1, kOfflineFrames})
      .input("weights", ElementType::float32, {1, kOfflineFrames})
      .output("embedding", ElementType::float32, {1, kEmbeddingDimension})
      .initializer("rowShape", TensorValue::int64s({1, kOfflineFrames}))
      .initializer("echoStarts", TensorValue::int64s({0}))
      .initializer("echoEnds", TensorValue::int64s({kEmbeddingDimension}))
      .initializer("echoAxes", TensorValue::int64s({1}))
      .node("Reshape", {"fbank_features", "rowShape"}, {"featureRow"})
      .node("Slice", {"featureRow", "echoStarts", "echoEnds", "echoAxes"}, {"embedding"});
  return model;
}

ModelBuilder pldaRhoModel() {
  std::vector<double> projection(static_cast<std::size_t>(kEmbeddingDimension * kRhoDimension), 0.0);
  for (int64_t i = 0; i < kRhoDimension; ++i) projection[static_cast<std::size_t>(i * kRhoDimension + i)] = 40.0;
  ModelBuilder model("PldaRho");
  model.input("embeddings", ElementType::float32, {-1, kEmbeddingDimension})
      .output("rho", ElementType::float32, {-1, kRhoDimension})
      .initializer("projection", floats({kEmbeddingDimension, kRhoDimension}, projection))
      .node("MatMul", {"embeddings", "projection"}, {"rho"});
  return model;
}

ModelBuilder pairDifferencePldaRhoModel(std::optional<std::int64_t> fixedBatch) {
  std::vector<double> projection(static_cast<std::size_t>(kEmbeddingDimension * kRhoDimension), 0.0);
  for (int64_t i = 0; i + 1 < kRhoDimension; ++i) {
    projection[static_cast<std::size_t>(2 * i * kRhoDimension + i)] = 1.0;
    projection[static_cast<std::size_t>((2 * i + 1) * kRhoDimension + i)] = -1.0;
  }
  std::vector<double> last(kRhoDimension, 0.0);
  last.back() = 1.0;
  const int64_t batch = fixedBatch.value_or(-1);
  ModelBuilder model("PldaRho");
  model.input("embeddings", ElementType::float32, {batch, kEmbeddingDimension})
      .output("rho", ElementType::float32, {batch, kRhoDimension})
      .initializer("projection", floats({kEmbeddingDimension, kRhoDimension}, projection))
      .initializer("columnStarts", TensorValue::int64s({0}))
      .initializer("columnEnds", TensorValue::int64s({1}))
      .initializer("columnAxes", TensorValue::int64s({1}))
      .initializer("zero", floats({1}, {0.0}))
      .initializer("one", floats({1}, {1.0}))
      .initializer("rowAxis", TensorValue::int64s({0}))
      .initializer("lastColumn", floats({1, kRhoDimension}, last))
      .node("MatMul", {"embeddings", "projection"}, {"differences"})
      // One per row, summed over the rows: the batch size, put in the last column.
      .node("Slice", {"embeddings", "columnStarts", "columnEnds", "columnAxes"}, {"firstColumn"})
      .node("Mul", {"firstColumn", "zero"}, {"zeros"})
      .node("Add", {"zeros", "one"}, {"ones"})
      .node("ReduceSum", {"ones", "rowAxis"}, {"rows"})
      .node("Mul", {"rows", "lastColumn"}, {"rowCount"})
      .node("Add", {"differences", "rowCount"}, {"rho"});
  return model;
}

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - at);
    uint32_t group = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      group = (group << 8) | (i < n ? static_cast<unsigned char>(bytes[at + i]) : 0u);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      text.push_back(i <= n ? kAlphabet[(group >> (18 - 6 * i)) & 0x3F] : '=');
    }
  }
  return text;
}

std::string float32Bytes(const std::vector<float>& values) {
  std::string bytes;
  for (float value : values) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((bits >> shift) & 0xFF));
  }
  return bytes;
}

std::string pldaParametersJson(const std::vector<float>& psi) {
  return R"({"tensors": {"psi": {"data_base64": ")" + base64(float32Bytes(psi)) + R"("}}})";
}

std::filesystem::path writeOfflineDiarizerFiles(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  for (const auto& model : {dcSegmentationModel(), fbankModel(), embeddingModel(), pldaRhoModel()}) {
    model.writeBundle(folder);
  }
  std::ofstream(folder / "plda-parameters.json", std::ios::binary)
      << pldaParametersJson(std::vector<float>(kRhoDimension, 1.0f));
  return folder;
}

tesselaudio::OfflineDiarizerModels loadOfflineStandIns(const std::filesystem::path& folder) {
  const auto load = [&](const ModelBuilder& builder) {
    return std::make_shared<platform::MLModel>(builder.writeBundle(folder));
  };
  tesselaudio::OfflineDiarizerModels models;
  models.segmentationModel = load(dcSegmentationModel());
  models.fbankModel = load(fbankModel());
  models.embeddingModel = load(embeddingModel());
  models.pldaRhoModel = load(pldaRhoModel());
  models.pldaPsi.assign(kRhoDimension, 1.0);
  return models;
}

}  // namespace testsupport
