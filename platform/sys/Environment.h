#pragma once

#include <optional>
#include <string>

namespace platform {

// Reads the process environment. A variable that is set to the empty text is present and reads
// as "". Safe from any thread as long as nobody changes the environment at the same time (tests
// change it only in single-threaded set-up).
namespace Environment {

// The value of `name`, or nullopt when the variable is not set.
std::optional<std::string> value(const std::string& name);

}  // namespace Environment
}  // namespace platform
