#pragma once

#include "tests/support/ModelBuilder.h"

namespace testsupport {

// Builds networks shaped like a streaming voice-activity detector: inputs "x" f32 [1, 512] (one chunk),
// "sr" i64 [1] (sample rate), "h" and "c" f32 [1, 1, 64] (recurrent state); outputs "y" (no declared
// shape), "hn" and "cn" f32 [1, 1, 64]. Weights are fixed pseudo-random values, equal in both forms.
namespace DetectorModelBuilder {

// One LSTM (hidden size 64) over the chunk: y [1, 1, 1, 64].
ModelBuilder plain();

// The same LSTM inside two If nodes: the outer one on sr == 16000, the inner one (in the outer
// then-branch) on ReduceMax(x) > 0. A silent chunk gives y = [[0]] ([1, 1]) and a rate other than
// 16000 gives y = [-1, -1] ([2]); both pass h and c through unchanged.
ModelBuilder nestedIf();

}  // namespace DetectorModelBuilder
}  // namespace testsupport
