#pragma once

#include <memory>
#include <vector>

#include "platform/ml/MLMultiArray.h"

namespace testsupport {

// A dense array of the shape holding `values` in row-major order.
std::shared_ptr<platform::MLMultiArray> makeArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                  platform::MLMultiArrayDataType type = platform::MLMultiArrayDataType::float32);

// Every element by linear index (strides honoured).
std::vector<double> arrayValues(const platform::MLMultiArray& array);

}  // namespace testsupport
