#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ranges>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryUtils.h"

namespace tesselaudio {

// Aligned model buffers for one engine: allocation, a keyed pool of reusable buffers, copies of
// float samples into a float32 input array and zero-copy views. Safe from any thread: the pool
// operations run under one lock (allocation included); copies and views take none. The pool does not
// guard the contents of the buffers it hands out: two users of one key share one buffer.
//
//   ANEMemoryOptimizer memory;
//   auto input = memory.getPooledBuffer("waveform", {1, 160000}, MLMultiArrayDataType::float32);
//   memory.optimizedCopy(samples, *input, 0, true);
class ANEMemoryOptimizer {
 public:
  static constexpr int aneAlignment = ANEMemoryUtils::aneAlignment;
  static constexpr int aneTileSize = ANEMemoryUtils::aneTileSize;

  ANEMemoryOptimizer() = default;
  ANEMemoryOptimizer(const ANEMemoryOptimizer&) = delete;
  ANEMemoryOptimizer& operator=(const ANEMemoryOptimizer&) = delete;

  // A new zero-filled aligned array with padded strides. Throws ANEMemoryError: the allocation's
  // own case, or allocationFailed for any other failure.
  std::shared_ptr<platform::MLMultiArray> createAlignedArray(const std::vector<int64_t>& shape,
                                                             platform::MLMultiArrayDataType dataType) const;

  // The pooled array under `key` when it has this shape and data type (contents as its last user
  // left them); otherwise a new zero-filled one that replaces it in the pool. Throws as
  // createAlignedArray and then leaves the pool unchanged.
  std::shared_ptr<platform::MLMultiArray> getPooledBuffer(const std::string& key, const std::vector<int64_t>& shape,
                                                          platform::MLMultiArrayDataType dataType);

  // Puts a new zero-filled array under `key`, replacing any. Throws as createAlignedArray and then
  // leaves the pool unchanged.
  void initializePooledBuffer(const std::string& key, const std::vector<int64_t>& shape,
                              platform::MLMultiArrayDataType dataType);

  // Empties the pool; arrays still held by callers stay valid.
  void clearBufferPool();

  // Copies n = min(to.count() - offset, from.size()) values to elements offset ... offset + n - 1
  // of `to` (by logical index, whatever its strides) and, when `pad` is set, sets the elements
  // after them to 0.0; elements before `offset` are never touched. Copies nothing when `to` is not
  // float32 or `offset` lies outside 0 ... to.count(). Dense destinations take one block move.
  void optimizedCopy(std::span<const float> from, platform::MLMultiArray& to, int64_t offset, bool pad) const;

  // The same for any other range of numbers, value by value.
  template <std::ranges::input_range Range>
    requires(!std::convertible_to<Range, std::span<const float>> &&
             std::convertible_to<std::ranges::range_reference_t<Range>, float>)
  void optimizedCopy(Range&& from, platform::MLMultiArray& to, int64_t offset, bool pad) const {
    if (!acceptsCopy(to, offset)) return;
    int64_t index = offset;
    for (auto&& value : from) {
      if (index >= to.count()) break;
      storeFloat(to, index++, static_cast<float>(value));
    }
    if (pad) clearFloats(to, index);
  }

  // A view of `shape` with padded strides on `from`'s memory, `offset` elements in. The view owns
  // nothing: `from` must outlive it. Throws ANEMemoryError(invalidArrayBounds) when the view does not
  // fit inside the source (see ANEMemoryUtils::createZeroCopyView) or its shape is invalid.
  std::shared_ptr<platform::MLMultiArray> createZeroCopyView(const platform::MLMultiArray& from,
                                                             const std::vector<int64_t>& shape, int64_t offset) const;

 private:
  static bool acceptsCopy(const platform::MLMultiArray& to, int64_t offset);
  static void storeFloat(platform::MLMultiArray& to, int64_t linearIndex, float value);
  // Sets elements from `linearIndex` to the end to 0.0.
  static void clearFloats(platform::MLMultiArray& to, int64_t linearIndex);

  std::mutex bufferLock_;
  // Guarded by bufferLock_.
  std::map<std::string, std::shared_ptr<platform::MLMultiArray>> bufferPool_;
};

}  // namespace tesselaudio
