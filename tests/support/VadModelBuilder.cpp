#include "tests/support/VadModelBuilder.h"

#include <utility>
#include <vector>

namespace testsupport {
namespace {

TensorValue int64s(std::vector<double> values) {
  const auto size = static_cast<int64_t>(values.size());
  return {ElementType::int64, {size}, std::move(values)};
}

// `name` of the output type, computed in float32 as `computed` and cast when needed.
void declareOutput(ModelBuilder& model, const std::string& computed, const std::string& name,
                   std::vector<int64_t> dims, ElementType type) {
  model.output(name, type, std::move(dims));
  if (type == ElementType::float32) {
    model.node("Identity", {computed}, {name});
  } else {
    model.node("Cast", {computed}, {name}, {Attribute("to", static_cast<int64_t>(type))});
  }
}

}  // namespace

ModelBuilder vadEchoModel(const VadEchoOptions& options) {
  ModelBuilder model("silero-vad-unified-256ms-v6.2.1");
  model.input("audio_input", ElementType::float32, {1, 4160})
      .input("hidden_state", ElementType::float32, {1, 128})
      .input("cell_state", ElementType::float32, {1, 128})
      .initializer("axes", int64s({0, 1}))
      .initializer("origin", int64s({0, 0}))
      .initializer("firstSampleStart", int64s({0, 64}))
      .initializer("firstSampleEnd", int64s({1, 65}))
      .initializer("cellEnd", int64s({1, 128}))
      .initializer("hiddenEnd", int64s({1, static_cast<double>(options.hiddenLength)}))
      .initializer("one", {ElementType::float32, {1}, {1.0}})
      .initializer("minusOne", {ElementType::float32, {1, 1}, {-1.0}});
  const auto type = options.outputType;
  if (options.withProbability) {
    model.node("Slice", {"audio_input", "firstSampleStart", "firstSampleEnd", "axes"}, {"probability"});
    declareOutput(model, "probability", options.probabilityName, {1, 1}, type);
  }
  if (options.decoyName) {
    declareOutput(model, "minusOne", *options.decoyName, {1, 1}, type);
  }
  if (options.withHiddenState) {
    model.node("Add", {"hidden_state", "one"}, {"counted"})
        .node("Slice", {"counted", "origin", "hiddenEnd", "axes"}, {"hidden"});
    declareOutput(model, "hidden", "new_hidden_state", {1, options.hiddenLength}, type);
  }
  if (options.withCellState) {
    model.node("Slice", {"audio_input", "origin", "cellEnd", "axes"}, {"cell"});
    declareOutput(model, "cell", "new_cell_state", {1, 128}, type);
  }
  return model;
}

std::shared_ptr<platform::MLModel> loadVadEchoModel(const std::filesystem::path& folder,
                                                    const VadEchoOptions& options) {
  return std::make_shared<platform::MLModel>(vadEchoModel(options).writeBundle(folder));
}

}  // namespace testsupport
