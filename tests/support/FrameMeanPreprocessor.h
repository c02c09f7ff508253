#pragma once

#include <cstdint>
#include <string>

#include "tests/support/ModelBuilder.h"

namespace testsupport {

// A stand-in for a speech front end that turns a waveform into feature frames: input `inputName`
// f32 [1, N] (N open) → output `outputName` f32 [1, T, width] with T = ⌊N / 160⌋, where frame t is
// the mean of samples 160·t … 160·t + 159, repeated `width` times. A later frame thus carries
// whatever value the test put into its stretch of samples.
ModelBuilder frameMeanPreprocessor(const std::string& name, const std::string& inputName,
                                   const std::string& outputName, std::int64_t width);

}  // namespace testsupport
