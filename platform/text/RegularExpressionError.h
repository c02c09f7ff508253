#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform::text {

// A regular expression that does not compile; the description carries ICU's message and the
// pattern. A value.
class RegularExpressionError : public Error {
 public:
  static constexpr const char* kDomain = "RegularExpressionError";

  enum class Case {
    invalidPattern,  // the pattern does not compile
  };

  static RegularExpressionError invalidPattern(const std::string& pattern, const std::string& reason);

  Case errorCase() const { return static_cast<Case>(code()); }
  const std::string& pattern() const { return pattern_; }

 private:
  RegularExpressionError(Case errorCase, std::string description, std::string pattern);

  std::string pattern_;
};

}  // namespace platform::text
