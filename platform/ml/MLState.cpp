#include "platform/ml/MLState.h"

#include <fmt/format.h>

#include "platform/ml/MLModelError.h"

namespace platform {

MLState::MLState(std::map<std::string, std::shared_ptr<MLMultiArray>> buffers) : buffers_(std::move(buffers)) {}

void MLState::withMultiArray(const std::string& stateName, const std::function<void(MLMultiArray&)>& body) {
  std::scoped_lock lock(mutex_);
  auto it = buffers_.find(stateName);
  if (it == buffers_.end()) throw MLModelError::featureType(fmt::format("The model has no state \"{}\".", stateName));
  body(*it->second);
}

}  // namespace platform
