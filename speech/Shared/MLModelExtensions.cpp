#include "speech/Shared/MLModelExtensions.h"

#include "platform/sys/CancellationError.h"

namespace tesselaudio {

std::unique_ptr<platform::MLFeatureProvider> compatPrediction(const platform::MLModel& model,
                                                              const platform::MLFeatureProvider& from,
                                                              const platform::MLPredictionOptions& options,
                                                              std::stop_token stopToken) {
  platform::CancellationError::throwIfRequested(stopToken);
  return model.prediction(from, options);
}

}  // namespace tesselaudio
