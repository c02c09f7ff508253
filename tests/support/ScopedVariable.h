#pragma once

#include <optional>
#include <string>

namespace testsupport {

// Sets (or, with no value, unsets) an environment variable for the life of the object and puts the
// previous state back afterwards. For tests that run one process per test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::optional<std::string>& value);
  ~ScopedVariable();
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

}  // namespace testsupport
