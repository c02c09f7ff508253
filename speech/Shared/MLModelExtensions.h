#pragma once

#include <memory>
#include <stop_token>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLPredictionOptions.h"

namespace tesselaudio {

// One prediction of `model` on `from`, as every engine runs it. Returns the outputs, owned by the
// caller. Throws CancellationError when a stop was requested before it starts; a failure of the
// prediction passes unchanged (MLModelError). Safe from any thread: a loaded model predicts from
// several threads at once.
std::unique_ptr<platform::MLFeatureProvider> compatPrediction(const platform::MLModel& model,
                                                              const platform::MLFeatureProvider& from,
                                                              const platform::MLPredictionOptions& options,
                                                              std::stop_token stopToken);

}  // namespace tesselaudio
