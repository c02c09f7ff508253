#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Linear resampling of a speaker's frame mask from the segmentation's frame count to the embedding
// model's, with the centres of the two frame grids aligned. Stateless; safe from any thread.
namespace tesselaudio::WeightInterpolation {

// The two neighbours and weights of every output position, for one (input, output) length pair.
// A plain value.
struct InterpolationCoefficients {
  // REQUIRES: inputLength > 0 and outputLength > 0.
  InterpolationCoefficients(std::int64_t inputLength, std::int64_t outputLength);

  // The resampled values: outputLength of them, or none for an empty input.
  // REQUIRES: `input` is empty or holds more than maxInputIndex values.
  std::vector<float> interpolate(std::span<const float> input) const;

  std::vector<std::int64_t> lowerIndices;
  std::vector<std::int64_t> upperIndices;
  std::vector<float> lowerWeights;
  std::vector<float> upperWeights;
  // The largest input index any output position reads.
  std::int64_t maxInputIndex = 0;
  std::int64_t outputLength = 0;
};

}  // namespace tesselaudio::WeightInterpolation
