#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/ModelBuilder.h"

namespace testsupport {

// Stand-ins for the two CAM++ networks, under their real names "CamPlusPreprocessor_v2" and
// "CamPlusPlus_v2".
//
// The preprocessor reads "waveform" [1, N] and gives "features" [1, T, 80]: the first T × 80 values
// reshaped, T = ⌊N ÷ 80⌋.
ModelBuilder campPlusPreprocessor();
// The same input, but the output is called "spectrum".
ModelBuilder campPlusPreprocessorWithoutFeatures();
// "features" of rank 2: the first 200 values, [1, 200]. REQUIRES: N >= 200.
ModelBuilder campPlusFlatPreprocessor();

// The embedding network reads "feats" [1, T, 80]. The echo gives as "embedding" the first 192
// values of "feats" (fewer when there are fewer).
ModelBuilder campPlusEchoModel();
// Pooling: the mean over T of the squared features times campPlusPoolingWeights() (80 × 192, row
// after row), [1, 192].
ModelBuilder campPlusPoolingModel();
std::vector<float> campPlusPoolingWeights();
// The echo's output under the name "speaker".
ModelBuilder campPlusModelWithoutEmbedding();
// 192 zeros. REQUIRES: T × 80 >= 192.
ModelBuilder campPlusZeroModel();

}  // namespace testsupport
