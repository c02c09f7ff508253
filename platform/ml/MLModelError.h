#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// The error of the model runtime: loading, compiling, describing and running models, and making
// multi-arrays. Codes 0 to 11 follow the platform's model errors; the codes from 100 on are this
// build's own. A value; safe to copy between threads.
class MLModelError : public Error {
 public:
  enum class Code {
    generic = 0,       // a prediction failed while running
    featureType = 1,   // an input or backing of the wrong name, shape or type
    io = 3,            // a model folder or file that is missing or unreadable
    parameters = 7,    // a refused argument (multi-array shape, strides, memory)
    unsupportedModelFormat = 100,   // a bundle without `model.onnx` (for example a Core ML bundle)
    compile = 101,                  // a package that cannot be compiled
    invalidModel = 102,             // a `model.onnx` or `metadata.json` that does not parse or does not fit together
    unsupportedOperator = 103,      // an operator the executor does not run
    unsupportedElementType = 104,   // an element type the executor does not handle
  };

  MLModelError(Code code, std::string description);

  // The code as its case (`code()` gives the same as an integer).
  Code errorCode() const { return static_cast<Code>(code()); }

  static MLModelError generic(std::string description) { return {Code::generic, std::move(description)}; }
  static MLModelError featureType(std::string description) { return {Code::featureType, std::move(description)}; }
  static MLModelError io(std::string description) { return {Code::io, std::move(description)}; }
  static MLModelError parameters(std::string description) { return {Code::parameters, std::move(description)}; }
  static MLModelError unsupportedModelFormat(std::string description) {
    return {Code::unsupportedModelFormat, std::move(description)};
  }
  static MLModelError compile(std::string description) { return {Code::compile, std::move(description)}; }
  static MLModelError invalidModel(std::string description) { return {Code::invalidModel, std::move(description)}; }
  static MLModelError unsupportedOperator(std::string description) {
    return {Code::unsupportedOperator, std::move(description)};
  }
  static MLModelError unsupportedElementType(std::string description) {
    return {Code::unsupportedElementType, std::move(description)};
  }
};

}  // namespace platform
