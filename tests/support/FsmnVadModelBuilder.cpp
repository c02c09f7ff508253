#include "tests/support/FsmnVadModelBuilder.h"

#include "tests/support/FrameMeanPreprocessor.h"

namespace testsupport {
namespace {

constexpr std::int64_t kFeatureWidth = 400;

}  // namespace

ModelBuilder fsmnVadPreprocessor() {
  return frameMeanPreprocessor("FsmnVadPreprocessor", "waveform", "features", kFeatureWidth);
}

ModelBuilder fsmnVadFixedFramesPreprocessor(std::int64_t frames) {
  ModelBuilder model("FsmnVadPreprocessor");
  model.input("waveform", ElementType::float32, {1, -1})
      .output("features", ElementType::float32, {1, frames, kFeatureWidth})
      .initializer("zero", TensorValue::int64s({0}))
      .initializer("one", TensorValue::int64s({1}))
      .initializer("pointShape", TensorValue::int64s({1, 1, 1}))
      .initializer("outputShape", TensorValue::int64s({1, frames, kFeatureWidth}))
      .node("Slice", {"waveform", "zero", "one", "one"}, {"first"})
      .node("Reshape", {"first", "pointShape"}, {"point"})
      .node("Expand", {"point", "outputShape"}, {"features"});
  return model;
}

ModelBuilder fsmnVadScorer(const FsmnVadScorerOptions& options) {
  ModelBuilder model("FsmnVad");
  model.input("feats", ElementType::float32, {1, -1, kFeatureWidth})
      .output(options.outputName, options.outputType, {1, -1, 2})
      .initializer("zero", TensorValue::int64s({0}))
      .initializer("one", TensorValue::int64s({1}))
      .initializer("two", TensorValue::int64s({2}))
      .initializer("unit", {ElementType::float32, {1}, {1.0}});
  std::string feats = "feats";
  if (options.rows) {
    model.initializer("rows", TensorValue::int64s({*options.rows}))
        .node("Slice", {"feats", "zero", "rows", "one"}, {"firstRows"});
    feats = "firstRows";
  }
  model.node("Slice", {feats, "zero", "one", "two"}, {"silence"})
      .node("Sub", {"unit", "silence"}, {"speech"})
      .node("Concat", {"silence", "speech"}, {"classes"}, {Attribute("axis", 2)});
  if (options.outputType == ElementType::float32) {
    model.node("Identity", {"classes"}, {options.outputName});
  } else {
    model.node("Cast", {"classes"}, {options.outputName},
               {Attribute("to", static_cast<std::int64_t>(options.outputType))});
  }
  if (!options.acceptedFrames.empty()) {
    std::vector<std::vector<std::int64_t>> shapes;
    for (std::int64_t frames : options.acceptedFrames) shapes.push_back({1, frames, kFeatureWidth});
    model.enumeratedShapes("feats", shapes);
  }
  return model;
}

}  // namespace testsupport
