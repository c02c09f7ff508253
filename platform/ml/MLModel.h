#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ml/MLBatchProvider.h"
#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLModelConfiguration.h"
#include "platform/ml/MLModelDescription.h"
#include "platform/ml/MLPredictionOptions.h"
#include "platform/ml/MLState.h"

namespace platform {

// A loaded model: a network read from a compiled-model folder (`Name.mlmodelc/`, see
// platform/ml/ModelBundle.h for its files) and run on the CPU. Immutable once loaded; predictions may
// run from several threads at once. The model needs nothing from its folder after loading.
//
//   auto model = std::make_shared<MLModel>(folder / "Encoder.mlmodelc", MLModelConfiguration{});
//   MLDictionaryFeatureProvider inputs({{"x", array}});
//   auto outputs = model->prediction(inputs);
//   auto y = outputs->featureValue("y")->multiArrayValue();
class MLModel {
 public:
  // Loads the folder's network (the configuration's function, or the default one).
  // Throws MLModelError: io for a missing folder, unsupportedModelFormat for a folder without
  // model.onnx, invalidModel for a file that does not parse or does not fit together,
  // unsupportedOperator / unsupportedElementType naming what the executor lacks, and
  // unsupportedElementType naming an input or output that is a sequence, an optional or strings.
  MLModel(const std::filesystem::path& contentsOf, const MLModelConfiguration& configuration = {});
  ~MLModel();
  MLModel(const MLModel&) = delete;
  MLModel& operator=(const MLModel&) = delete;

  const MLModelDescription& modelDescription() const;
  const MLModelConfiguration& configuration() const;

  // Runs one prediction. Every input of the description must be given as a multi-array of its shape
  // (any element type; it converts) or, for a one-element input, as an integer or double value.
  // Outputs are new arrays, or the caller's arrays in options.outputBackings. The returned provider
  // belongs to the caller. Throws MLModelError: featureType for a missing input, a wrong shape, or a
  // backing that names no output or has the wrong shape, for an input value outside the range of the
  // input's own integer type (300 for uint8) and for an integer output value that does not fit the
  // output array (integer outputs cross as int32); generic when the network fails.
  // REQUIRES: the model is not stateful (use the form with a state).
  std::unique_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& from,
                                                const MLPredictionOptions& options = {}) const;

  // The same for a stateful model: the state's buffers are fed as inputs and replaced by the new
  // values afterwards. Throws as above.
  std::unique_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& from, MLState& state,
                                                const MLPredictionOptions& options = {}) const;

  // One prediction per provider of the batch, in order. Throws the first failure.
  std::unique_ptr<MLBatchProvider> predictions(const MLBatchProvider& fromBatch,
                                               const MLPredictionOptions& options = {}) const;

  // The predictions this model has been asked to run since it was loaded, failed ones included
  // (a batch counts one per provider). Safe from any thread.
  std::uint64_t predictionCount() const;

  // A fresh, zero-filled state for this model. Throws MLModelError(featureType) when the model has none.
  std::shared_ptr<MLState> makeState() const;

  // Compiles a package `Name.mlpackage/` (see ModelBundle.h): checks that its networks parse and use
  // only supported operators and element types, then writes `Name.mlmodelc/` into a new temporary
  // folder under $TMPDIR and returns its path. A model loaded from that path removes the temporary
  // folder when it goes away; a folder no model loaded is removed when the process exits normally.
  // Throws MLModelError(compile) naming the package and the problem, and then leaves nothing behind
  // in $TMPDIR.
  static std::filesystem::path compileModel(const std::filesystem::path& at);

  // Compiles the package at `packageURL` (as compileModel) and loads the result with `configuration`.
  // The compiled folder in $TMPDIR goes away with the returned model, and at once when loading fails.
  // Throws MLModelError(compile) when compiling fails and the loading errors of the constructor.
  static std::shared_ptr<MLModel> compileAndLoad(const std::filesystem::path& packageURL,
                                                 const MLModelConfiguration& configuration = {});

  // The named functions of a model folder (compiled or package), read without loading the networks;
  // empty when it has none. Throws MLModelError(io / invalidModel) like loading.
  static std::vector<std::string> functionNames(const std::filesystem::path& contentsOf);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
