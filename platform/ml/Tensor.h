#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::ml {

// Element types of the executor, numbered as in ONNX. The executor computes with float32, float16
// (widened to float32 for arithmetic), float64, the integer types, bool and string; bfloat16 and the
// complex types are refused.
enum class ElementType : int32_t {
  undefined = 0,
  float32 = 1,
  uint8 = 2,
  int8 = 3,
  uint16 = 4,
  int16 = 5,
  int32 = 6,
  int64 = 7,
  string = 8,
  bool_ = 9,
  float16 = 10,
  float64 = 11,
  uint32 = 12,
  uint64 = 13,
};

bool isSupportedElementType(ElementType type);
// Bytes per element. REQUIRES: isSupportedElementType(type).
size_t elementByteSize(ElementType type);
// The ONNX name of the type ("FLOAT", "INT64", ...).
std::string elementTypeName(ElementType type);

using Shape = std::vector<int64_t>;

// Product of the dimensions; throws MLModelError(invalidModel) for negative or overflowing shapes.
int64_t shapeCount(const Shape& shape);
std::string shapeText(const Shape& shape);

// A dense row-major tensor. Copies share the buffer (a reshape costs nothing); kernels write only
// into tensors they made. String tensors hold std::string elements (data<std::string>()). Safe to
// read from several threads.
class Tensor {
 public:
  Tensor() = default;
  // Zero-filled.
  Tensor(ElementType type, Shape shape);
  // Not filled: for kernels that write every element.
  struct Uninitialized {};
  Tensor(ElementType type, Shape shape, Uninitialized);

  ElementType type() const { return type_; }
  const Shape& shape() const { return shape_; }
  int64_t rank() const { return static_cast<int64_t>(shape_.size()); }
  int64_t count() const { return count_; }
  size_t byteSize() const { return static_cast<size_t>(count_) * elementByteSize(type_); }
  bool empty() const { return type_ == ElementType::undefined; }

  std::byte* bytes() { return buffer_.get(); }
  const std::byte* bytes() const { return buffer_.get(); }
  template <class T>
  T* data() { return reinterpret_cast<T*>(buffer_.get()); }
  template <class T>
  const T* data() const { return reinterpret_cast<const T*>(buffer_.get()); }

  // The same elements under another shape of equal count.
  Tensor reshaped(Shape shape) const;

  // Copies `count` elements of `source` from `sourceOffset` to this tensor at `offset` (strings as
  // strings). REQUIRES: same element type, both ranges inside their tensors.
  void copyElements(const Tensor& source, int64_t sourceOffset, int64_t offset, int64_t count);

  // Element i as int64 (uint64 saturates) or double, for shape and index inputs. REQUIRES: numeric type.
  int64_t integerAt(int64_t index) const;
  double doubleAt(int64_t index) const;
  // All elements as int64 (shapes, axes, indices).
  std::vector<int64_t> integers() const;

 private:
  ElementType type_ = ElementType::undefined;
  Shape shape_;
  int64_t count_ = 0;
  std::shared_ptr<std::byte[]> buffer_;
};

}  // namespace platform::ml
