#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// An extra result that some streaming engines offer beside StreamingAsrManager; callers
// ask an engine for it with dynamic_cast. Safe from any thread, as the engine is.
class StreamingAsrEouProvider {
 public:
  virtual ~StreamingAsrEouProvider() = default;

  // The times in milliseconds of the ends of utterance detected so far.
  virtual std::vector<std::int64_t> getEouTimestampsMs() const = 0;
};

}  // namespace tesselaudio
