#pragma once

#include <cstdint>
#include <memory>

namespace platform {
class MLModel;
}

namespace tesselaudio {

// One function of an encoder built for a fixed audio length: the pipeline picks, per window, the
// shortest one that holds the window. A value; the model is shared.
struct EncoderLadderFunction {
  double seconds = 0;      // audio length the function was built for
  int64_t melFrames = 0;   // fixed length of its "mel" input
  std::shared_ptr<const platform::MLModel> model;
};

}  // namespace tesselaudio
