#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

const auto failureOf = testsupport::thrownDescription<ASRError>;

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr float kPadding = -7.0f;
constexpr int64_t kTwoTo31 = int64_t{1} << 31;

// The value the test writes at frame t, hidden index h: exact in float32 for these sizes.
float valueAt(int64_t t, int64_t h) { return static_cast<float>(t * 2048 + h + 1); }

// An encoder output on test-owned memory with the given strides, its padding filled with
// kPadding. Layout [1, hidden, time] when hiddenFirst, else [1, time, hidden]. The memory lives as
// long as the array.
std::shared_ptr<MLMultiArray> encoderOutput(bool hiddenFirst, int64_t hidden, int64_t time,
                                            std::vector<int64_t> strides,
                                            MLMultiArrayDataType type = MLMultiArrayDataType::float32) {
  const std::vector<int64_t> shape = hiddenFirst ? std::vector<int64_t>{1, hidden, time}
                                                 : std::vector<int64_t>{1, time, hidden};
  auto memory = std::make_shared<std::vector<float>>(static_cast<size_t>(strides[0] * shape[0]), kPadding);
  const int64_t hiddenStride = strides[hiddenFirst ? 1 : 2];
  const int64_t timeStride = strides[hiddenFirst ? 2 : 1];
  if (type == MLMultiArrayDataType::float32) {
    for (int64_t t = 0; t < time; ++t) {
      for (int64_t h = 0; h < hidden; ++h) (*memory)[static_cast<size_t>(t * timeStride + h * hiddenStride)] = valueAt(t, h);
    }
  }
  return std::make_shared<MLMultiArray>(memory->data(), shape, type, std::move(strides), [memory](void*) {});
}


std::vector<float> copiedFrame(const EncoderFrameView& view, int64_t at) {
  std::vector<float> frame(static_cast<size_t>(view.hiddenSize()), kPadding);
  view.copyFrame(at, frame.data(), 1);
  return frame;
}

std::vector<float> expectedFrame(int64_t t, int64_t hidden) {
  std::vector<float> frame;
  for (int64_t h = 0; h < hidden; ++h) frame.push_back(valueAt(t, h));
  return frame;
}

TEST(EncoderFrameViewTest, ChoosesLayoutAndCountsFrames) {
  struct Case {
    const char* name;
    bool hiddenFirst;
    int64_t hidden;
    int64_t time;
    std::vector<int64_t> strides;
    int64_t validLength;
    int64_t timeAxis;
    int64_t count;
  };
  const Case cases[] = {
      // The time axis padded from 188 to 192, as an aligned array would be.
      {"hidden first, padded", true, 1024, 188, {1024 * 192, 192, 1}, 150, 2, 150},
      {"time first, padded", false, 1024, 188, {188 * 1040, 1040, 1}, 150, 1, 150},
      {"square takes hidden first", true, 1024, 1024, {1024 * 1024, 1024, 1}, 2000, 2, 1024},
      {"valid length beyond the frames", false, 1024, 10, {10 * 1024, 1024, 1}, 50, 1, 10},
      {"small hidden size", true, 512, 5, {512 * 16, 16, 1}, 5, 2, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncoderFrameView view(encoderOutput(c.hiddenFirst, c.hidden, c.time, c.strides), c.validLength, c.hidden);
    EXPECT_EQ(view.timeAxis(), c.timeAxis);
    EXPECT_EQ(view.hiddenAxis(), 3 - c.timeAxis);
    EXPECT_EQ(view.timeStride(), c.strides[static_cast<size_t>(c.timeAxis)]);
    EXPECT_EQ(view.hiddenStride(), c.strides[static_cast<size_t>(3 - c.timeAxis)]);
    EXPECT_EQ(view.timeBaseOffset(), 0);
    EXPECT_EQ(view.count(), c.count);
    EXPECT_EQ(view.hiddenSize(), c.hidden);
    EXPECT_EQ(view.basePointer(), view.array()->dataPointer());
    EXPECT_EQ(copiedFrame(view, 0), expectedFrame(0, c.hidden));
    EXPECT_EQ(copiedFrame(view, c.count - 1), expectedFrame(c.count - 1, c.hidden));
    EXPECT_EQ(failureOf([&] { copiedFrame(view, c.count); }),
              "ASR processing failed: Encoder frame index out of range: " + std::to_string(c.count));
    EXPECT_EQ(failureOf([&] { copiedFrame(view, -1); }),
              "ASR processing failed: Encoder frame index out of range: -1");
  }
}

TEST(EncoderFrameViewTest, RefusesOutputsItCannotRead) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<MLMultiArray>()> make;
    int64_t validLength;
    const char* description;
  };
  const Case cases[] = {
      {"rank 2", [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1024}, MLMultiArrayDataType::float32); },
       1, "Invalid encoder output shape: [1, 1024]"},
      {"batch 2",
       [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 1024, 10}, MLMultiArrayDataType::float32); },
       10, "Unsupported batch dimension: 2"},
      {"hidden size mismatch",
       [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 512, 10}, MLMultiArrayDataType::float32); },
       10, "Encoder hidden size mismatch: [1, 512, 10], expected 1024"},
      {"valid length 0", [] { return encoderOutput(true, 1024, 10, {10240, 10, 1}); }, 0,
       "Encoder output has no frames"},
      {"no frames at all",
       [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 0, 1024}, MLMultiArrayDataType::float32); },
       10, "Encoder output has no frames"},
      {"float16",
       [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1024, 10}, MLMultiArrayDataType::float16); },
       10, "Unsupported encoder output type: float16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failureOf([&] { EncoderFrameView(c.make(), c.validLength, 1024); }),
              std::string("ASR processing failed: ") + c.description);
  }
}

TEST(EncoderFrameViewTest, CopyIntoPaddedDestinationLeavesTheGapsAlone) {
  const EncoderFrameView view(encoderOutput(true, 1024, 188, {1024 * 192, 192, 1}), 188, 1024);
  std::vector<float> destination(1024 * 16, kPadding);
  view.copyFrame(37, destination.data(), 16);
  for (int64_t i = 0; i < static_cast<int64_t>(destination.size()); ++i) {
    const float expected = i % 16 == 0 ? valueAt(37, i / 16) : kPadding;
    ASSERT_EQ(destination[static_cast<size_t>(i)], expected) << "element " << i;
  }
}

TEST(EncoderFrameViewTest, CopyIntoTheDecodersAlignedEncoderStep) {
  // The joint's "encoder_step" [1, 1024, 1] gets strides [16384, 16, 1] on aligned memory.
  auto step = ANEMemoryUtils::createAlignedArray({1, 1024, 1}, MLMultiArrayDataType::float32, true);
  const EncoderFrameView view(encoderOutput(false, 1024, 20, {20 * 1024, 1024, 1}), 20, 1024);
  view.copyFrame(19, static_cast<float*>(step->dataPointer()), step->strides()[1]);
  for (int64_t h = 0; h < 1024; ++h) ASSERT_EQ((*step)[h].floatValue(), valueAt(19, h)) << h;
}

TEST(EncoderFrameViewTest, CopyInPlaceOfItselfIsHarmless) {
  const EncoderFrameView view(encoderOutput(false, 16, 4, {64, 16, 1}), 4, 16);
  float* frame2 = static_cast<float*>(view.array()->dataPointer()) + 2 * 16;
  view.copyFrame(2, frame2, 1);
  EXPECT_EQ(std::vector<float>(frame2, frame2 + 16), expectedFrame(2, 16));
}

TEST(EncoderFrameViewTest, StridesAndSizesOutsideItsRangeFailWithoutWriting) {
  // Memory for the views below is never read: each copy fails before it starts.
  float tiny[16] = {};
  auto overTiny = [&](std::vector<int64_t> shape, std::vector<int64_t> strides) {
    return std::make_shared<MLMultiArray>(tiny, std::move(shape), MLMultiArrayDataType::float32, std::move(strides));
  };
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> array;
    int64_t hidden;
    int64_t destinationStride;
    const char* description;
  };
  const Case cases[] = {
      {"hidden stride 0", overTiny({1, 4, 2}, {8, 0, 1}), 4, 1, "Invalid hidden stride: 0"},
      {"hidden size beyond 32 bits", overTiny({1, kTwoTo31, 2}, {2, 1, 1}), kTwoTo31, 1,
       "Hidden size exceeds supported range"},
      {"hidden stride beyond 32 bits", overTiny({1, 4, 2}, {8, kTwoTo31, 1}), 4, 1,
       "Hidden stride exceeds supported range"},
      {"destination stride beyond 32 bits", overTiny({1, 4, 2}, {8, 2, 1}), 4, kTwoTo31,
       "Destination stride exceeds supported range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncoderFrameView view(c.array, 2, c.hidden);
    float destination[4] = {kPadding, kPadding, kPadding, kPadding};
    EXPECT_EQ(failureOf([&] { view.copyFrame(1, destination, c.destinationStride); }),
              std::string("ASR processing failed: ") + c.description);
    for (float value : destination) EXPECT_EQ(value, kPadding);
  }
}

}  // namespace
}  // namespace tesselaudio
