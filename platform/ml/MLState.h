#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ml/MLMultiArray.h"

namespace platform {

class MLModel;

// The state buffers of one stream through a stateful model, made by MLModel::makeState() zero-filled.
// Each prediction that uses the state reads it as inputs and stores the new values back. Safe from any
// thread: predictions on one state run one at a time; different states of one model run in parallel.
class MLState {
 public:
  explicit MLState(std::map<std::string, std::shared_ptr<MLMultiArray>> buffers);
  MLState(const MLState&) = delete;
  MLState& operator=(const MLState&) = delete;

  // Calls `body` with the state's buffer while no prediction uses the state. Throws
  // MLModelError(featureType) for an unknown name.
  void withMultiArray(const std::string& stateName, const std::function<void(MLMultiArray&)>& body);

 private:
  friend class MLModel;

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<MLMultiArray>> buffers_;  // guarded by mutex_
};

}  // namespace platform
