#include "platform/ml/Tensor.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <limits>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLModelError.h"

namespace platform::ml {

bool isSupportedElementType(ElementType type) {
  switch (type) {
    case ElementType::float32:
    case ElementType::float16:
    case ElementType::float64:
    case ElementType::int32:
    case ElementType::int64:
    case ElementType::bool_:
    case ElementType::int8:
    case ElementType::uint8:
    case ElementType::int16:
    case ElementType::uint16:
    case ElementType::uint32:
    case ElementType::uint64:
    case ElementType::string:
      return true;
    default:
      return false;
  }
}

size_t elementByteSize(ElementType type) {
  switch (type) {
    case ElementType::bool_:
    case ElementType::int8:
    case ElementType::uint8: return 1;
    case ElementType::float16:
    case ElementType::int16:
    case ElementType::uint16: return 2;
    case ElementType::float64:
    case ElementType::int64:
    case ElementType::uint64: return 8;
    case ElementType::string: return sizeof(std::string);
    default: return 4;
  }
}

std::string elementTypeName(ElementType type) {
  switch (type) {
    case ElementType::undefined: return "UNDEFINED";
    case ElementType::float32: return "FLOAT";
    case ElementType::uint8: return "UINT8";
    case ElementType::int8: return "INT8";
    case ElementType::uint16: return "UINT16";
    case ElementType::int16: return "INT16";
    case ElementType::int32: return "INT32";
    case ElementType::int64: return "INT64";
    case ElementType::string: return "STRING";
    case ElementType::bool_: return "BOOL";
    case ElementType::float16: return "FLOAT16";
    case ElementType::float64: return "DOUBLE";
    case ElementType::uint32: return "UINT32";
    case ElementType::uint64: return "UINT64";
  }
  return fmt::format("type {}", static_cast<int>(type));
}

int64_t shapeCount(const Shape& shape) {
  int64_t count = 1;
  for (int64_t d : shape) {
    if (d < 0) throw MLModelError::invalidModel(fmt::format("Negative dimension in shape {}.", shapeText(shape)));
    if (d != 0 && count > (int64_t{1} << 40) / d) {
      throw MLModelError::invalidModel(fmt::format("Shape {} is too large.", shapeText(shape)));
    }
    count *= d;
  }
  return count;
}

std::string shapeText(const Shape& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

namespace {

// Large buffers are kept per thread after use and handed out again, so that repeated predictions
// reuse warm memory instead of mapping and faulting in fresh pages for every activation.
constexpr size_t kPooledMinimum = size_t{64} << 10;
constexpr size_t kPooledMaximumHeld = size_t{256} << 20;

struct BufferPool {
  std::unordered_map<size_t, std::vector<std::byte*>> free;
  size_t held = 0;

  ~BufferPool() {
    for (auto& entry : free) {
      for (std::byte* buffer : entry.second) delete[] buffer;
    }
  }
};

// Trivially destructible, so deleters that run late in a thread's exit still see a valid value.
thread_local BufferPool* tPool = nullptr;

struct BufferPoolOwner {
  ~BufferPoolOwner() {
    delete tPool;
    tPool = nullptr;
  }
};
thread_local BufferPoolOwner tPoolOwner;

void giveBack(std::byte* buffer, size_t bytes) {
  if (tPool != nullptr && tPool->held + bytes <= kPooledMaximumHeld) {
    tPool->free[bytes].push_back(buffer);
    tPool->held += bytes;
  } else {
    delete[] buffer;
  }
}

std::shared_ptr<std::byte[]> allocate(size_t bytes, bool zero) {
  bytes = std::max<size_t>(bytes, 1);
  if (bytes < kPooledMinimum) return std::shared_ptr<std::byte[]>(zero ? new std::byte[bytes]() : new std::byte[bytes]);
  if (tPool == nullptr) {
    (void)&tPoolOwner;  // makes sure the owner exists and frees the pool when the thread ends
    tPool = new BufferPool();
  }
  std::byte* buffer = nullptr;
  auto it = tPool->free.find(bytes);
  if (it != tPool->free.end() && !it->second.empty()) {
    buffer = it->second.back();
    it->second.pop_back();
    tPool->held -= bytes;
    if (zero) std::memset(buffer, 0, bytes);
  } else {
    buffer = zero ? new std::byte[bytes]() : new std::byte[bytes];
  }
  return std::shared_ptr<std::byte[]>(buffer, [bytes](std::byte* b) { giveBack(b, bytes); });
}

std::shared_ptr<std::byte[]> allocateStrings(int64_t count) {
  std::shared_ptr<std::string[]> strings(new std::string[static_cast<size_t>(std::max<int64_t>(count, 1))]);
  return std::shared_ptr<std::byte[]>(strings, reinterpret_cast<std::byte*>(strings.get()));
}

}  // namespace

Tensor::Tensor(ElementType type, Shape shape) : type_(type), shape_(std::move(shape)) {
  count_ = shapeCount(shape_);
  buffer_ = type == ElementType::string ? allocateStrings(count_) : allocate(byteSize(), true);
}

Tensor::Tensor(ElementType type, Shape shape, Uninitialized) : type_(type), shape_(std::move(shape)) {
  count_ = shapeCount(shape_);
  // Bool elements must hold 0 or 1 even before a kernel writes them.
  buffer_ = type == ElementType::string ? allocateStrings(count_) : allocate(byteSize(), type == ElementType::bool_);
}

void Tensor::copyElements(const Tensor& source, int64_t sourceOffset, int64_t offset, int64_t count) {
  assert(source.type() == type_ && sourceOffset + count <= source.count() && offset + count <= count_);
  if (count <= 0) return;
  if (type_ == ElementType::string) {
    std::copy_n(source.data<std::string>() + sourceOffset, count, data<std::string>() + offset);
    return;
  }
  const size_t size = elementByteSize(type_);
  std::memcpy(bytes() + static_cast<size_t>(offset) * size, source.bytes() + static_cast<size_t>(sourceOffset) * size,
              static_cast<size_t>(count) * size);
}

Tensor Tensor::reshaped(Shape shape) const {
  Tensor result = *this;
  result.count_ = shapeCount(shape);
  if (result.count_ != count_) {
    throw MLModelError::generic(fmt::format("Cannot reshape {} to {}.", shapeText(shape_), shapeText(shape)));
  }
  result.shape_ = std::move(shape);
  return result;
}

int64_t Tensor::integerAt(int64_t index) const {
  switch (type_) {
    case ElementType::int64: return data<int64_t>()[index];
    case ElementType::int32: return data<int32_t>()[index];
    case ElementType::bool_: return data<bool>()[index] ? 1 : 0;
    case ElementType::int8: return data<int8_t>()[index];
    case ElementType::uint8: return data<uint8_t>()[index];
    case ElementType::int16: return data<int16_t>()[index];
    case ElementType::uint16: return data<uint16_t>()[index];
    case ElementType::uint32: return data<uint32_t>()[index];
    case ElementType::uint64: {
      const uint64_t value = data<uint64_t>()[index];
      return value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                                 : static_cast<int64_t>(value);
    }
    default: {
      const double value = doubleAt(index);
      if (!(value > -9.2e18 && value < 9.2e18)) return value > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
      return static_cast<int64_t>(value);
    }
  }
}

double Tensor::doubleAt(int64_t index) const {
  switch (type_) {
    case ElementType::float32: return data<float>()[index];
    case ElementType::float64: return data<double>()[index];
    case ElementType::float16: return floatFromFloat16(data<uint16_t>()[index]);
    case ElementType::int64: return static_cast<double>(data<int64_t>()[index]);
    case ElementType::int32: return data<int32_t>()[index];
    case ElementType::bool_: return data<bool>()[index] ? 1.0 : 0.0;
    case ElementType::int8: return data<int8_t>()[index];
    case ElementType::uint8: return data<uint8_t>()[index];
    case ElementType::int16: return data<int16_t>()[index];
    case ElementType::uint16: return data<uint16_t>()[index];
    case ElementType::uint32: return data<uint32_t>()[index];
    case ElementType::uint64: return static_cast<double>(data<uint64_t>()[index]);
    default: return 0.0;
  }
}

std::vector<int64_t> Tensor::integers() const {
  std::vector<int64_t> values(static_cast<size_t>(count_));
  for (int64_t i = 0; i < count_; ++i) values[static_cast<size_t>(i)] = integerAt(i);
  return values;
}

}  // namespace platform::ml
