#pragma once

#include <utility>

namespace tesselaudio {

// A reference box around one value, shared through std::shared_ptr; the value goes when the last
// holder lets go. No lock: holders on several threads bring their own.
template <typename Value>
class CoreAIStorage {
 public:
  explicit CoreAIStorage(Value wrappedValue) : wrappedValue(std::move(wrappedValue)) {}
  CoreAIStorage(const CoreAIStorage&) = delete;
  CoreAIStorage& operator=(const CoreAIStorage&) = delete;

  Value wrappedValue;
};

}  // namespace tesselaudio
