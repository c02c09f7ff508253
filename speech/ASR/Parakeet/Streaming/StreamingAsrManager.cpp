#include "speech/ASR/Parakeet/Streaming/StreamingAsrManager.h"

namespace tesselaudio {

StreamingAsrManager::~StreamingAsrManager() = default;

}  // namespace tesselaudio
