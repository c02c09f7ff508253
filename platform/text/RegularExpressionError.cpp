#include "platform/text/RegularExpressionError.h"

#include <utility>

namespace platform::text {

RegularExpressionError::RegularExpressionError(Case errorCase, std::string description, std::string pattern)
    : Error("RegularExpressionError", kDomain, static_cast<int>(errorCase), std::move(description)),
      pattern_(std::move(pattern)) {}

RegularExpressionError RegularExpressionError::invalidPattern(const std::string& pattern, const std::string& reason) {
  return RegularExpressionError(Case::invalidPattern, "The regular expression \"" + pattern + "\" does not compile: " + reason,
                                pattern);
}

}  // namespace platform::text
