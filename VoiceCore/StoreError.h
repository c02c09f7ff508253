#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace voicecore {

// A failure of the recording store. Its description is its message, one Japanese sentence meant
// for the user. Values.
class StoreError : public platform::Error {
 public:
  explicit StoreError(std::string message);

  const std::string& message() const { return description(); }
};

}  // namespace voicecore
