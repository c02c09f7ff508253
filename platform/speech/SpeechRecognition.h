#pragma once

#include <stop_token>

#include "platform/speech/AnalyzerInput.h"
#include "platform/speech/SpeechTranscriber.h"
#include "platform/sys/Channel.h"

namespace platform {

// One analysis run of a speech backend, prepared for one input format. A SpeechAnalyzer calls
// run() once on a thread of its own.
class SpeechRecognition {
 public:
  virtual ~SpeechRecognition() = default;

  // Reads `inputs` until the stream ends, sending results to `results` as they settle, and
  // settles what is pending at the end. Returns early, without settling, once `stop` is requested
  // (receive with the token throws CancellationError, which may simply pass through). Any other
  // exception ends the result stream with that error.
  //
  // Time line: an input without a start follows the previous one without a gap; an input with a
  // start begins there; result ranges and run ranges are seconds on that time line.
  virtual void run(Channel<AnalyzerInput>::Receiver& inputs,
                   const Channel<SpeechTranscriber::Result>::Sender& results,
                   std::stop_token stop) = 0;
};

}  // namespace platform
