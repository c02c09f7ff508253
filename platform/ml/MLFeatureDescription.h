#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"

namespace platform {

// A run of sizes: `location` up to `location + length - 1`. An unbounded range has the largest
// length that does not overflow.
struct NSRange {
  int64_t location = 0;
  int64_t length = 0;

  bool operator==(const NSRange&) const = default;
};

// Which shapes a flexible multi-array input accepts.
enum class MLMultiArrayShapeConstraintType : int {
  unspecified = 1,  // the declared shape only (or any size where the network leaves a size open)
  enumerated = 2,   // one of `enumeratedShapes`
  range = 3,        // each dimension within its `sizeRangeForDimension`
};

struct MLMultiArrayShapeConstraint {
  MLMultiArrayShapeConstraintType type = MLMultiArrayShapeConstraintType::unspecified;
  std::vector<std::vector<int64_t>> enumeratedShapes;
  std::vector<NSRange> sizeRangeForDimension;

  bool operator==(const MLMultiArrayShapeConstraint&) const = default;
};

// Shape and element type of a multi-array feature. For an output whose size the network leaves
// open, that dimension reads 0.
struct MLMultiArrayConstraint {
  std::vector<int64_t> shape;
  MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
  MLMultiArrayShapeConstraint shapeConstraint;

  bool operator==(const MLMultiArrayConstraint&) const = default;
};

// Shape and element type of a state buffer.
struct MLStateConstraint {
  std::vector<int64_t> bufferShape;
  MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;

  bool operator==(const MLStateConstraint&) const = default;
};

// One input, output or state of a model.
struct MLFeatureDescription {
  std::string name;
  MLFeatureType type = MLFeatureType::multiArray;
  bool isOptional = false;
  std::optional<MLMultiArrayConstraint> multiArrayConstraint;
  std::optional<MLStateConstraint> stateConstraint;

  bool operator==(const MLFeatureDescription&) const = default;
};

}  // namespace platform
