#pragma once

#include <map>
#include <string>

namespace tesselaudio {

// The score of a hypothesis diarization against a reference. Durations are seconds, whole
// multiples of the frame step they were counted on. A plain value.
struct DERResult {
  // (confusion + (falseAlarm + miss)) / totalRefSpeech, or 0 without reference speech.
  double der = 0;
  // Reference speech given to the wrong speaker.
  double confusion = 0;
  // Hypothesis speech beyond the reference speech.
  double falseAlarm = 0;
  // Reference speech beyond the hypothesis speech.
  double miss = 0;
  // Reference speech counted per speaker: two overlapping speakers count twice.
  double totalRefSpeech = 0;
  // Hypothesis label → reference label, for every mapped hypothesis speaker.
  std::map<std::string, std::string> mapping;

  bool operator==(const DERResult&) const = default;
};

}  // namespace tesselaudio
