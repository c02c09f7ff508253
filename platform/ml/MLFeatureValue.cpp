#include "platform/ml/MLFeatureValue.h"

namespace platform {

MLFeatureValue::MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray) : value_(std::move(multiArray)) {}
MLFeatureValue::MLFeatureValue(int64_t int64) : value_(int64) {}
MLFeatureValue::MLFeatureValue(double value) : value_(value) {}
MLFeatureValue::MLFeatureValue(std::string string) : value_(std::move(string)) {}

MLFeatureType MLFeatureValue::type() const {
  switch (value_.index()) {
    case 0: return MLFeatureType::multiArray;
    case 1: return MLFeatureType::int64;
    case 2: return MLFeatureType::double_;
    default: return MLFeatureType::string;
  }
}

const std::shared_ptr<MLMultiArray>& MLFeatureValue::multiArrayValue() const {
  static const std::shared_ptr<MLMultiArray> kNone;
  const auto* array = std::get_if<std::shared_ptr<MLMultiArray>>(&value_);
  return array ? *array : kNone;
}

int64_t MLFeatureValue::int64Value() const {
  const auto* value = std::get_if<int64_t>(&value_);
  return value ? *value : 0;
}

double MLFeatureValue::doubleValue() const {
  const auto* value = std::get_if<double>(&value_);
  return value ? *value : 0.0;
}

const std::string& MLFeatureValue::stringValue() const {
  static const std::string kNone;
  const auto* value = std::get_if<std::string>(&value_);
  return value ? *value : kNone;
}

}  // namespace platform
