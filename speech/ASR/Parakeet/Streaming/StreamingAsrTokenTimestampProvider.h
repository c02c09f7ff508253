#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// An extra result that some streaming engines offer beside StreamingAsrManager; callers
// ask an engine for it with dynamic_cast. Safe from any thread, as the engine is.
class StreamingAsrTokenTimestampProvider {
 public:
  virtual ~StreamingAsrTokenTimestampProvider() = default;

  // One time in milliseconds per accumulated token, in token order.
  virtual std::vector<std::int64_t> getTokenTimestampsMs() const = 0;
};

}  // namespace tesselaudio
