#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"

#include <utility>

namespace tesselaudio {

Nemotron3Error::Nemotron3Error(Code code, std::string description)
    : platform::Error("Nemotron3Error", "TesselAudio.Nemotron3Error", static_cast<int>(code),
                      std::move(description)) {}

Nemotron3Error Nemotron3Error::modelLoadFailed(const std::string& message) {
  return Nemotron3Error(Code::modelLoadFailed, "Failed to load Nemotron 3 diarization model: " + message);
}

Nemotron3Error Nemotron3Error::inferenceFailed(const std::string& message) {
  return Nemotron3Error(Code::inferenceFailed, "Nemotron 3 diarization inference failed: " + message);
}

Nemotron3Error Nemotron3Error::invalidState(const std::string& message) {
  return Nemotron3Error(Code::invalidState, "Invalid Nemotron 3 diarization state: " + message);
}

}  // namespace tesselaudio
