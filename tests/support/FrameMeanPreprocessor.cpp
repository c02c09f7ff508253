#include "tests/support/FrameMeanPreprocessor.h"

#include <vector>

namespace testsupport {

ModelBuilder frameMeanPreprocessor(const std::string& name, const std::string& inputName,
                                   const std::string& outputName, std::int64_t width) {
  ModelBuilder model(name);
  model.input(inputName, ElementType::float32, {1, -1})
      .output(outputName, ElementType::float32, {1, -1, width})
      .initializer("sampleAxis", {ElementType::int64, {}, {1}})
      .initializer("hop", {ElementType::int64, {}, {160}})
      .initializer("start", TensorValue::int64s({0}))
      .initializer("axes", TensorValue::int64s({1}))
      .initializer("one", TensorValue::int64s({1}))
      .initializer("framed", TensorValue::int64s({1, -1, 160}))
      .initializer("widened", TensorValue::int64s({1, 1, width}))
      .node("Shape", {inputName}, {"shape"})
      .node("Gather", {"shape", "sampleAxis"}, {"samples"})
      .node("Div", {"samples", "hop"}, {"frames"})
      .node("Mul", {"frames", "hop"}, {"used"})
      .node("Reshape", {"used", "one"}, {"end"})
      .node("Slice", {inputName, "start", "end", "axes"}, {"whole"})
      .node("Reshape", {"whole", "framed"}, {"frameSamples"})
      .node("ReduceMean", {"frameSamples"}, {"means"}, {Attribute("axes", std::vector<int64_t>{2})})
      .node("Expand", {"means", "widened"}, {outputName});
  return model;
}

}  // namespace testsupport
