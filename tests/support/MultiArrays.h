#pragma once

#include <memory>
#include <vector>

#include "platform/ml/MLMultiArray.h"

namespace testsupport {

// A dense array of the shape holding `values` in row-major order.
std::shared_ptr<platform::MLMultiArray> makeArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                  platform::MLMultiArrayDataType type = platform::MLMultiArrayDataType::float32);

// An array of the shape on memory of its own laid out with `strides` (in elements), holding `values` in
// row-major order; every element the strides skip holds `padding`, so that a reader ignoring the
// strides sees it.
std::shared_ptr<platform::MLMultiArray> makeStridedArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                         std::vector<int64_t> strides,
                                                         platform::MLMultiArrayDataType type = platform::MLMultiArrayDataType::float32,
                                                         double padding = 9999);

// Every element by linear index (strides honoured).
std::vector<double> arrayValues(const platform::MLMultiArray& array);

}  // namespace testsupport
