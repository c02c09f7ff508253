#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failure of an RNN-T step model that lacks an output the decoder reads. A value; safe to copy
// and to read from any thread.
class RnntDecoderError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.RnntDecoderError";

  enum class Case { missingOutput = 0 };

  // "RNNT decoder missing expected output: <name>".
  static RnntDecoderError missingOutput(const std::string& name);

  Case errorCase() const { return static_cast<Case>(code()); }
  // The name of the absent output.
  const std::string& outputName() const { return outputName_; }

 private:
  RnntDecoderError(Case errorCase, std::string description, std::string outputName);

  std::string outputName_;
};

}  // namespace tesselaudio
