#pragma once

#include <cstdint>
#include <memory>

namespace platform {
class MLMultiArray;
}

namespace tesselaudio {

// A read-only strided view of one window's encoder output, [1, hidden, time] or [1, time, hidden],
// read in place whatever its strides. Frame f starts at basePointer() + f x timeStride() +
// timeBaseOffset() elements, its hidden values hiddenStride() apart. Keeps the array alive. Lives
// for one decode call, on that call's thread.
class EncoderFrameView {
 public:
  // Checks, in this order, failing with ASRError::processingFailed and the text given:
  //   rank 3                          "Invalid encoder output shape: [1, 1024]"
  //   batch 1                         "Unsupported batch dimension: 2"
  //   dimension 1 or 2 is the hidden  "Encoder hidden size mismatch: [1, 512, 10], expected 1024"
  //     size (dimension 1 wins when both are)
  //   no negative stride              "Unsupported negative stride: [-10, -1, 1]"
  //   at least one frame              "Encoder output has no frames"
  //     (min(time length, validLength))
  //   float32                         "Unsupported encoder output type: float16"
  // REQUIRES: encoderOutput is not null.
  EncoderFrameView(std::shared_ptr<platform::MLMultiArray> encoderOutput, int64_t validLength,
                   int64_t expectedHiddenSize);

  // Copies frame `at`'s hiddenSize() values to `into`, `destinationStride` elements apart: one
  // move when both strides are 1, else one strided BLAS copy; allocates nothing. Throws
  // ASRError::processingFailed, having written nothing, with "Encoder frame index out of range:
  // <at>" outside [0, count()), "Invalid hidden stride: 0", or "Hidden size", "Hidden stride" or
  // "Destination stride" followed by " exceeds supported range" for a value beyond 32 bits.
  // REQUIRES: destinationStride >= 1; `into` holds hiddenSize() values at that step.
  void copyFrame(int64_t at, float* into, int64_t destinationStride) const;

  int64_t hiddenSize() const { return hiddenSize_; }
  // Readable frames.
  int64_t count() const { return count_; }
  const std::shared_ptr<platform::MLMultiArray>& array() const { return array_; }
  // 2 for [1, hidden, time], 1 for [1, time, hidden]; hiddenAxis() is the other one.
  int64_t timeAxis() const { return timeAxis_; }
  int64_t hiddenAxis() const { return hiddenAxis_; }
  // Element strides along the two axes.
  int64_t timeStride() const { return timeStride_; }
  int64_t hiddenStride() const { return hiddenStride_; }
  // Always 0: negative strides are refused.
  int64_t timeBaseOffset() const { return timeBaseOffset_; }
  const float* basePointer() const { return basePointer_; }

 private:
  int64_t hiddenSize_ = 0;
  int64_t count_ = 0;
  std::shared_ptr<platform::MLMultiArray> array_;
  int64_t timeAxis_ = 2;
  int64_t hiddenAxis_ = 1;
  int64_t timeStride_ = 0;
  int64_t hiddenStride_ = 0;
  int64_t timeBaseOffset_ = 0;
  const float* basePointer_ = nullptr;
};

}  // namespace tesselaudio
