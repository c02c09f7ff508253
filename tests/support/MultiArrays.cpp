#include "tests/support/MultiArrays.h"

#include <stdexcept>

namespace testsupport {

std::shared_ptr<platform::MLMultiArray> makeArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                  platform::MLMultiArrayDataType type) {
  auto array = std::make_shared<platform::MLMultiArray>(std::move(shape), type);
  if (static_cast<int64_t>(values.size()) != array->count()) throw std::invalid_argument("value count does not fit the shape");
  for (size_t i = 0; i < values.size(); ++i) array->set(static_cast<int64_t>(i), values[i]);
  return array;
}

std::vector<double> arrayValues(const platform::MLMultiArray& array) {
  std::vector<double> values;
  for (int64_t i = 0; i < array.count(); ++i) values.push_back(array[i].doubleValue());
  return values;
}

}  // namespace testsupport
