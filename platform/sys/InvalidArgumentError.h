#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// Thrown when a caller passes a value outside what an operation accepts (a negative size, a buffer
// of the wrong length). Names the parameter, so the log line says which value was wrong.
class InvalidArgumentError : public Error {
 public:
  // Description: "Invalid <parameter>: <reason>".
  InvalidArgumentError(std::string parameter, const std::string& reason);

  const std::string& parameter() const { return parameter_; }

 private:
  std::string parameter_;
};

}  // namespace platform
