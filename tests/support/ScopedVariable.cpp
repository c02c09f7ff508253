#include "tests/support/ScopedVariable.h"

#include <cstdlib>

namespace testsupport {

ScopedVariable::ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedVariable::~ScopedVariable() {
  if (previous_) {
    ::setenv(name_, previous_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

}  // namespace testsupport
