#pragma once

#include "platform/ml/MLMultiArray.h"
#include "platform/ml/NSNumber.h"

// Operations on any multi-array that the engines use on their model buffers. Plain functions of the
// calling thread; the arrays are not locked.
namespace tesselaudio {

// Reads the first and the last element (by linear index) so that their memory is touched before a
// prediction; does nothing for an array without elements.
void prefetchToNeuralEngine(const platform::MLMultiArray& array);

// Sets every element of `array` to `to`. Dense memory is cleared or filled in one go (a float16
// array only when `to` is 0); strided memory is written element by element, leaving the padding.
void resetData(platform::MLMultiArray& array, platform::NSNumber to);

// Copies `from` into `array` by linear index: one memory move when both have the same data type,
// shape and strides and `array` is dense, else element by element (converting the element type).
// Copies min(array.count(), from.count()) elements; the rest of `array` is left as it is.
void copyData(platform::MLMultiArray& array, const platform::MLMultiArray& from);

}  // namespace tesselaudio
