#include "tests/support/MultiArrays.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace testsupport {

std::shared_ptr<platform::MLMultiArray> makeArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                  platform::MLMultiArrayDataType type) {
  auto array = std::make_shared<platform::MLMultiArray>(std::move(shape), type);
  if (static_cast<int64_t>(values.size()) != array->count()) throw std::invalid_argument("value count does not fit the shape");
  for (size_t i = 0; i < values.size(); ++i) array->set(static_cast<int64_t>(i), values[i]);
  return array;
}

std::shared_ptr<platform::MLMultiArray> makeStridedArray(std::vector<int64_t> shape, const std::vector<double>& values,
                                                         std::vector<int64_t> strides, platform::MLMultiArrayDataType type,
                                                         double padding) {
  if (strides.size() != shape.size()) throw std::invalid_argument("strides do not fit the shape");
  // Elements from the first to the last one the strides reach.
  int64_t extent = 1;
  for (size_t i = 0; i < shape.size(); ++i) extent += std::max<int64_t>(shape[i] - 1, 0) * strides[i];
  std::unique_ptr<void, decltype(&std::free)> memory(std::calloc(static_cast<size_t>(extent), platform::elementSize(type)),
                                                      &std::free);
  if (!memory) throw std::bad_alloc();
  platform::MLMultiArray whole(memory.get(), {extent}, type, {1});
  for (int64_t i = 0; i < extent; ++i) whole.set(i, padding);
  auto array = std::make_shared<platform::MLMultiArray>(memory.get(), std::move(shape), type, std::move(strides),
                                                        [](void* bytes) { std::free(bytes); });
  memory.release();
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
