#pragma once

#include <span>
#include <vector>

// Vector helpers of the diarizers on single-precision values. Stateless; safe from any thread.
namespace tesselaudio::VDSPOperations {

// `vector` scaled to unit length (the norm taken as at least 1e-12, so a vector of zeros stays
// zeros); an empty vector comes back empty.
std::vector<float> l2Normalize(std::span<const float> vector);

// ln(Σ exp(x)), computed around the largest element: -infinity for an empty vector, NaN when the
// largest element is infinite.
float logSumExp(std::span<const float> vector);

}  // namespace tesselaudio::VDSPOperations
