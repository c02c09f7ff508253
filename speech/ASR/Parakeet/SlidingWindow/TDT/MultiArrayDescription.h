#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ml/MLMultiArray.h"

// How the decoder's error texts write shapes and element types. Safe from any thread.
namespace tesselaudio::MultiArrayDescription {

// "[1, 1024, 188]".
std::string bracketedList(const std::vector<int64_t>& values);

// "float16", "float32", "float64" or "int32"; the raw number for any other value.
std::string dataTypeName(platform::MLMultiArrayDataType dataType);

}  // namespace tesselaudio::MultiArrayDescription
