#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/ml/NSNumber.h"

namespace platform {

// Element types of a multi-array, with the platform's numeric codes (error texts print them).
enum class MLMultiArrayDataType : int {
  float16 = 65552,
  float32 = 65568,
  float_ = 65568,
  float64 = 65600,
  double_ = 65600,
  int32 = 131104,
};

// Bytes per element: 2 for float16, 8 for float64, 4 for float32 and int32.
size_t elementSize(MLMultiArrayDataType dataType);

// A multi-dimensional array of numbers with a shape, per-dimension strides (in elements) and an element
// type, on memory of its own or on memory the caller hands over. Arrays are reference objects held by
// std::shared_ptr: whoever holds the pointer sees the same elements. Not locked: one writer at a time;
// readers on other threads need the writer's own synchronisation.
//
// Float16 elements are stored as IEEE binary16 and read and written as float numbers.
class MLMultiArray {
 public:
  // Called with the data pointer when an array made on caller memory goes away.
  using Deallocator = std::function<void(void* bytes)>;

  // An array on zeroed memory of its own with dense row-major strides.
  // Throws MLModelError(parameters) for a negative dimension or a size beyond memory.
  MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType);

  // An array on caller memory. `strides` are in elements, one per dimension. The array calls
  // `deallocator` (when set) once when it goes away; it never frees the memory otherwise.
  // Throws MLModelError(parameters) and does not call the deallocator for a null pointer, strides of
  // another rank than the shape, or a negative dimension or stride.
  MLMultiArray(void* dataPointer, std::vector<int64_t> shape, MLMultiArrayDataType dataType,
               std::vector<int64_t> strides, Deallocator deallocator = {});

  ~MLMultiArray();
  MLMultiArray(const MLMultiArray&) = delete;
  MLMultiArray& operator=(const MLMultiArray&) = delete;

  const std::vector<int64_t>& shape() const { return shape_; }
  const std::vector<int64_t>& strides() const { return strides_; }
  MLMultiArrayDataType dataType() const { return dataType_; }
  // Number of elements: the product of the shape (1 for an empty shape).
  int64_t count() const { return count_; }
  void* dataPointer() const { return data_; }

  // True when the strides are the dense row-major strides of the shape.
  bool isContiguous() const;

  // Offset in elements from dataPointer() of the element at a linear (row-major) index or an index
  // tuple. Throws MLModelError(parameters) when out of range.
  int64_t elementOffset(int64_t linearIndex) const;
  int64_t elementOffset(const std::vector<int64_t>& indices) const;

  // Element access by linear index (row-major, then strides) or by index tuple. Float16 elements
  // convert on access. Throws MLModelError(parameters) when out of range.
  NSNumber operator[](int64_t linearIndex) const;
  NSNumber operator[](const std::vector<int64_t>& indices) const;
  void set(int64_t linearIndex, NSNumber value);
  void set(const std::vector<int64_t>& indices, NSNumber value);

  // The dense row-major strides of a shape.
  static std::vector<int64_t> denseStrides(const std::vector<int64_t>& shape);

 private:
  NSNumber load(int64_t offset) const;
  void store(int64_t offset, NSNumber value);

  std::vector<int64_t> shape_;
  std::vector<int64_t> strides_;
  MLMultiArrayDataType dataType_;
  int64_t count_ = 1;
  void* data_ = nullptr;
  Deallocator deallocator_;
  bool ownsData_ = false;
};

}  // namespace platform
