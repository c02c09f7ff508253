#pragma once

#include <memory>
#include <vector>

#include "platform/ml/Tensor.h"

namespace platform::ml {

// A value inside a network: a tensor, a sequence of tensors, or an optional holding nothing (an
// optional holding something is just that tensor or sequence). Copies share the tensors, like
// Tensor itself. Safe to read from several threads.
class Value {
 public:
  enum class Kind { empty, tensor, sequence, none };

  Value() = default;
  Value(Tensor tensor);  // NOLINT: a tensor is a value wherever one is wanted
  static Value sequence(ElementType elementType, std::vector<Tensor> elements);
  static Value none();

  Kind kind() const { return kind_; }
  bool empty() const { return kind_ == Kind::empty; }
  bool isTensor() const { return kind_ == Kind::tensor; }
  bool isSequence() const { return kind_ == Kind::sequence; }
  bool isNone() const { return kind_ == Kind::none; }

  // REQUIRES: isTensor().
  const Tensor& tensor() const { return tensor_; }
  // REQUIRES: isSequence().
  const std::vector<Tensor>& elements() const { return *elements_; }
  // The element type of a sequence (also when it is empty).
  ElementType elementType() const { return elementType_; }

  // "tensor", "sequence" or "empty optional", for error texts.
  const char* kindName() const;

 private:
  Kind kind_ = Kind::empty;
  Tensor tensor_;
  std::shared_ptr<const std::vector<Tensor>> elements_;
  ElementType elementType_ = ElementType::undefined;
};

}  // namespace platform::ml
