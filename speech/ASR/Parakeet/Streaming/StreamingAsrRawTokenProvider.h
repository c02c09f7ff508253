#pragma once

#include <string>
#include <vector>

namespace tesselaudio {

// An extra result that some streaming engines offer beside StreamingAsrManager; callers
// ask an engine for it with dynamic_cast. Safe from any thread, as the engine is.
class StreamingAsrRawTokenProvider {
 public:
  virtual ~StreamingAsrRawTokenProvider() = default;

  // The raw vocabulary piece of each accumulated token, in token order.
  virtual std::vector<std::string> getRawTokenStrings() const = 0;
};

}  // namespace tesselaudio
