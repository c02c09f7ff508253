#pragma once

#include <vector>

#include "speech/Diarizer/DERResult.h"
#include "speech/Diarizer/DERSpeakerSegment.h"

// The diarization error rate on a uniform frame grid. Stateless; safe from any thread.
//
//   auto result = DiarizationDER::compute(reference, hypothesis, 0.01, 0.25);
//   log(result.der, result.mapping);
namespace tesselaudio::DiarizationDER {

// Scores `hyp` against `ref` (segments in any order) on frames of `frameStep` seconds: frame f
// covers [f·step, (f+1)·step), a segment marks the frames from its start to its end rounded to the
// nearest frame boundary (halves down), and the grid runs one frame past the last end. The grid is
// scored run by run between segment boundaries: time and memory grow with the segments, not with
// the frames. Hypothesis
// speakers map one-to-one onto the reference speakers they overlap most in total (frames of any
// collar included). Frames within `collar` / 2 of a reference segment's start or end are not
// scored. Segments that end at or before their start mark nothing, but their speakers still count.
// Throws platform::InvalidArgumentError naming "frameStep" when it is not above 0, "collar" when it
// is below 0 or not a number, and "ref" or "hyp" when its last end needs more than 2^50 frames
// (infinity included).
DERResult compute(const std::vector<DERSpeakerSegment>& ref, const std::vector<DERSpeakerSegment>& hyp,
                  double frameStep, double collar);

}  // namespace tesselaudio::DiarizationDER
