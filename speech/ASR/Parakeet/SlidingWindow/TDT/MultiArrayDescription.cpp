#include "speech/ASR/Parakeet/SlidingWindow/TDT/MultiArrayDescription.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace tesselaudio::MultiArrayDescription {

std::string bracketedList(const std::vector<int64_t>& values) {
  return fmt::format("[{}]", fmt::join(values, ", "));
}

std::string dataTypeName(platform::MLMultiArrayDataType dataType) {
  switch (dataType) {
    case platform::MLMultiArrayDataType::float16:
      return "float16";
    case platform::MLMultiArrayDataType::float32:
      return "float32";
    case platform::MLMultiArrayDataType::float64:
      return "float64";
    case platform::MLMultiArrayDataType::int32:
      return "int32";
  }
  return std::to_string(static_cast<int>(dataType));
}

}  // namespace tesselaudio::MultiArrayDescription
