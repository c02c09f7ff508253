#pragma once

#include <optional>
#include <span>
#include <vector>

namespace platform {
class MLMultiArray;
}

namespace tesselaudio::detail {

// The frames of CTC log-probabilities as rows of floats, whatever form they came in. Rows of a
// matrix and of a dense float32 multi-array point into the caller's memory, which must outlive this
// value; other multi-arrays are converted into `converted`. Moves keep the rows valid; copies are
// not allowed, since they would point into the source's storage.
struct CtcFrames {
  std::vector<std::span<const float>> rows;
  std::vector<float> converted;

  CtcFrames() = default;
  CtcFrames(CtcFrames&&) = default;
  CtcFrames& operator=(CtcFrames&&) = default;
  CtcFrames(const CtcFrames&) = delete;
  CtcFrames& operator=(const CtcFrames&) = delete;

  // The rows of a matrix, each as wide as its frame.
  static CtcFrames of(const std::vector<std::vector<float>>& matrix);

  // The frames of the first batch entry of an array of shape [batch, frames, vocabulary], each
  // `vocabulary` wide; no frames when the batch is empty. Float32 data whose frames lie densely in
  // memory is read in place; float16, float64, int32 and strided data are converted to float32.
  // Returns nothing for an array of any other rank.
  static std::optional<CtcFrames> of(const platform::MLMultiArray& array);
};

}  // namespace tesselaudio::detail
