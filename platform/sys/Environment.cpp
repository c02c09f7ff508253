#include "platform/sys/Environment.h"

#include <cstdlib>

namespace platform::Environment {

std::optional<std::string> value(const std::string& name) {
  const char* text = std::getenv(name.c_str());
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace platform::Environment
