#include "tests/support/DiarizerModelBuilder.h"

#include <cassert>
#include <functional>
#include <numeric>
#include <utility>

namespace testsupport {
namespace {

void declareSegmentationInput(ModelBuilder& model) {
  model.input("audio", ElementType::float32, {1, 1, kDiarizerChunkSamples});
}

void declareEmbeddingInputs(ModelBuilder& model) {
  model.input("waveform", ElementType::float32, {3, kDiarizerChunkSamples})
      .input("mask", ElementType::float32, {3, -1});
}

// `input` flattened (rows after one another), at `positions`, named `name`.
void gatherFlat(ModelBuilder& model, const std::string& input, const std::vector<int64_t>& positions,
                const std::string& name) {
  model.initializer(name + "Flat", TensorValue::int64s({-1}))
      .initializer(name + "Positions", TensorValue::int64s(positions))
      .node("Reshape", {input, name + "Flat"}, {name + "Values"})
      .node("Gather", {name + "Values", name + "Positions"}, {name}, {Attribute("axis", 0)});
}

// Row 0 of a [rows, columns] input at `positions`, named `name`.
void gatherRow0(ModelBuilder& model, const std::string& input, const std::vector<int64_t>& positions,
                const std::string& name) {
  model.initializer(name + "Row0Starts", TensorValue::int64s({0}))
      .initializer(name + "Row0Ends", TensorValue::int64s({1}))
      .initializer(name + "Row0Axes", TensorValue::int64s({0}))
      .node("Slice", {input, name + "Row0Starts", name + "Row0Ends", name + "Row0Axes"},
            {name + "Row0"});
  gatherFlat(model, name + "Row0", positions, name);
}

ModelBuilder failingModel(const std::string& name, const std::function<void(ModelBuilder&)>& declare,
                          const std::string& firstInput, const std::string& output,
                          std::vector<int64_t> outputShape) {
  ModelBuilder model(name);
  declare(model);
  // Seven values fit no input of these models.
  model.output(output, ElementType::float32, std::move(outputShape))
      .initializer("impossibleShape", TensorValue::int64s({7}))
      .node("Reshape", {firstInput, "impossibleShape"}, {output});
  return model;
}

}  // namespace

ModelBuilder echoSegmentationModel(std::int64_t offset, std::vector<std::int64_t> outputShape,
                                   const std::string& outputName) {
  const int64_t count =
      std::accumulate(outputShape.begin(), outputShape.end(), int64_t{1}, std::multiplies<>());
  assert(offset >= 0 && offset + count <= kDiarizerChunkSamples);
  ModelBuilder model("pyannote_segmentation");
  declareSegmentationInput(model);
  model.output(outputName, ElementType::float32, outputShape)
      .initializer("echoStarts", TensorValue::int64s({offset}))
      .initializer("echoEnds", TensorValue::int64s({offset + count}))
      .initializer("echoAxes", TensorValue::int64s({2}))
      .initializer("echoShape", TensorValue::int64s(outputShape))
      .node("Slice", {"audio", "echoStarts", "echoEnds", "echoAxes"}, {"echo"})
      // A zero in the shape means zero frames, not "keep the input's dimension".
      .node("Reshape", {"echo", "echoShape"}, {outputName}, {Attribute("allowzero", 1)});
  return model;
}

ModelBuilder probeEmbeddingModel(std::vector<std::int64_t> waveformPositions,
                                 std::vector<std::int64_t> maskPositions, std::int64_t outputLength,
                                 const std::string& outputName) {
  const auto probed = static_cast<int64_t>(waveformPositions.size() + maskPositions.size());
  assert(probed <= outputLength);
  ModelBuilder model("wespeaker_v2");
  declareEmbeddingInputs(model);
  model.output(outputName, ElementType::float32, {1, outputLength});
  std::vector<std::string> parts;
  if (!waveformPositions.empty()) {
    gatherFlat(model, "waveform", waveformPositions, "waveformProbe");
    parts.push_back("waveformProbe");
  }
  if (!maskPositions.empty()) {
    gatherRow0(model, "mask", maskPositions, "maskProbe");
    parts.push_back("maskProbe");
  }
  if (probed < outputLength) {
    const auto zeros = static_cast<std::size_t>(outputLength - probed);
    model.initializer("zeros", {ElementType::float32, {outputLength - probed},
                                std::vector<double>(zeros, 0.0)});
    parts.push_back("zeros");
  }
  model.initializer("outputShape", TensorValue::int64s({1, outputLength}))
      .node("Concat", parts, {"probes"}, {Attribute("axis", 0)})
      .node("Reshape", {"probes", "outputShape"}, {outputName});
  return model;
}

ModelBuilder dcSegmentationModel(bool declaresSegmentsShape) {
  ModelBuilder model("pyannote_segmentation");
  declareSegmentationInput(model);
  if (declaresSegmentsShape) {
    model.output("segments", ElementType::float32, {1, kSegmentationFrames, kSegmentationClasses});
  } else {
    model.outputWithoutShape("segments", ElementType::float32);
  }
  model.initializer("heardStarts", TensorValue::int64s({0}))
      .initializer("heardEnds", TensorValue::int64s({kSegmentationFrames * kSamplesPerFrame}))
      .initializer("heardAxes", TensorValue::int64s({2}))
      .initializer("framesShape", TensorValue::int64s({1, kSegmentationFrames, kSamplesPerFrame}))
      .initializer("weights", {ElementType::float32, {kSegmentationClasses}, {0, 10, -10, 0, 0, 0, 0}})
      .initializer("biases", {ElementType::float32, {kSegmentationClasses}, {0.5, 0, 0, -1, -1, -1, -1}})
      .node("Slice", {"audio", "heardStarts", "heardEnds", "heardAxes"}, {"heard"})
      .node("Reshape", {"heard", "framesShape"}, {"frames"})
      .node("ReduceMean", {"frames"}, {"levels"}, {Attribute("axes", std::vector<int64_t>{2})})
      .node("Mul", {"levels", "weights"}, {"weighted"})
      .node("Add", {"weighted", "biases"}, {"segments"});
  return model;
}

ModelBuilder levelEmbeddingModel() {
  ModelBuilder model("wespeaker_v2");
  declareEmbeddingInputs(model);
  std::vector<double> direction(256, 0.0);
  direction[0] = 1.0;
  model.output("embedding", ElementType::float32, {1, 256})
      .initializer("heardStarts", TensorValue::int64s({0, 0}))
      .initializer("heardEnds", TensorValue::int64s({1, kSegmentationFrames * kSamplesPerFrame}))
      .initializer("heardAxes", TensorValue::int64s({0, 1}))
      .initializer("framesShape", TensorValue::int64s({kSegmentationFrames, kSamplesPerFrame}))
      .initializer("maskStarts", TensorValue::int64s({0}))
      .initializer("maskEnds", TensorValue::int64s({1}))
      .initializer("maskAxes", TensorValue::int64s({0}))
      .initializer("flat", TensorValue::int64s({-1}))
      .initializer("direction", {ElementType::float32, {256}, direction})
      .initializer("embeddingShape", TensorValue::int64s({1, 256}))
      .node("Slice", {"waveform", "heardStarts", "heardEnds", "heardAxes"}, {"heard"})
      .node("Reshape", {"heard", "framesShape"}, {"frames"})
      .node("ReduceMean", {"frames"}, {"levels"}, {Attribute("axes", std::vector<int64_t>{1}), Attribute("keepdims", 0)})
      .node("Slice", {"mask", "maskStarts", "maskEnds", "maskAxes"}, {"maskRow0"})
      .node("Reshape", {"maskRow0", "flat"}, {"weights"})
      .node("Mul", {"levels", "weights"}, {"weightedLevels"})
      .node("ReduceSum", {"weightedLevels"}, {"levelSum"}, {Attribute("keepdims", 0)})
      .node("ReduceSum", {"weights"}, {"weightSum"}, {Attribute("keepdims", 0)})
      .node("Div", {"levelSum", "weightSum"}, {"level"})
      .node("Mul", {"level", "direction"}, {"pointing"})
      .node("Reshape", {"pointing", "embeddingShape"}, {"embedding"});
  return model;
}

std::vector<float> alternatingVoices(double seconds) {
  const auto count = static_cast<std::size_t>(seconds * 16000.0);
  std::vector<float> audio(count);
  for (std::size_t i = 0; i < count; ++i) {
    audio[i] = (i / static_cast<std::size_t>(kVoiceBlockSamples)) % 2 == 0 ? 0.5f : -0.5f;
  }
  return audio;
}

ModelBuilder failingSegmentationModel() {
  return failingModel("pyannote_segmentation", declareSegmentationInput, "audio", "segments",
                      {1, kSegmentationFrames, kSegmentationClasses});
}

ModelBuilder failingEmbeddingModel() {
  return failingModel("wespeaker_v2", declareEmbeddingInputs, "waveform", "embedding", {1, 256});
}

}  // namespace testsupport
