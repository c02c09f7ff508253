#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "platform/ml/MLMultiArray.h"

namespace platform {

// Kinds of feature values, with the platform's raw values.
enum class MLFeatureType : int {
  invalid = 0,
  int64 = 1,
  double_ = 2,
  string = 3,
  image = 4,
  multiArray = 5,
  dictionary = 6,
  sequence = 7,
  state = 8,
};

// One named input or output value of a model: a multi-array, an integer, a double or a string.
// Immutable; held by std::shared_ptr<const MLFeatureValue>, so that providers can hand out the very
// same value object. A multi-array value shares the array (no copy).
class MLFeatureValue {
 public:
  explicit MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray);
  explicit MLFeatureValue(int64_t int64);
  explicit MLFeatureValue(double value);
  explicit MLFeatureValue(std::string string);

  MLFeatureType type() const;
  // The array, or null when the value is not a multi-array.
  const std::shared_ptr<MLMultiArray>& multiArrayValue() const;
  // The number (0 when the value is not of that kind).
  int64_t int64Value() const;
  double doubleValue() const;
  // The text (empty when the value is not a string).
  const std::string& stringValue() const;

 private:
  std::variant<std::shared_ptr<MLMultiArray>, int64_t, double, std::string> value_;
};

}  // namespace platform
