#include "platform/ml/Value.h"

namespace platform::ml {

Value::Value(Tensor tensor) : kind_(tensor.empty() ? Kind::empty : Kind::tensor), tensor_(std::move(tensor)) {
  elementType_ = tensor_.type();
}

Value Value::sequence(ElementType elementType, std::vector<Tensor> elements) {
  Value value;
  value.kind_ = Kind::sequence;
  value.elementType_ = elementType;
  value.elements_ = std::make_shared<const std::vector<Tensor>>(std::move(elements));
  return value;
}

Value Value::none() {
  Value value;
  value.kind_ = Kind::none;
  return value;
}

const char* Value::kindName() const {
  switch (kind_) {
    case Kind::empty: return "nothing";
    case Kind::tensor: return "a tensor";
    case Kind::sequence: return "a sequence";
    case Kind::none: return "an empty optional";
  }
  return "nothing";
}

}  // namespace platform::ml
