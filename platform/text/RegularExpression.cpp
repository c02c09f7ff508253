#include "platform/text/RegularExpression.h"

#include <unicode/parseerr.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include "platform/text/RegularExpressionError.h"

namespace platform::text {
namespace {

icu::UnicodeString fromUtf8(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

struct RegularExpression::Impl {
  std::string pattern;
  std::unique_ptr<icu::RegexPattern> compiled;
};

RegularExpression::RegularExpression(std::string_view pattern) : impl_(std::make_unique<Impl>()) {
  impl_->pattern = std::string(pattern);
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  impl_->compiled.reset(icu::RegexPattern::compile(fromUtf8(pattern), 0, parseError, status));
  if (U_FAILURE(status) || impl_->compiled == nullptr) {
    std::string reason = u_errorName(status);
    if (parseError.offset >= 0) reason += " at offset " + std::to_string(parseError.offset);
    throw RegularExpressionError::invalidPattern(impl_->pattern, reason);
  }
}

RegularExpression::~RegularExpression() = default;

const std::string& RegularExpression::pattern() const { return impl_->pattern; }

std::vector<RegularExpression::Match> RegularExpression::matches(std::string_view utf8) const {
  const icu::UnicodeString text = fromUtf8(utf8);
  UErrorCode status = U_ZERO_ERROR;
  // A matcher per call: the compiled pattern is shared, the matcher's state is not.
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(text, status));
  std::vector<Match> found;
  if (U_FAILURE(status)) return found;
  while (matcher->find(status) && U_SUCCESS(status)) {
    Match match;
    match.text = toUtf8(matcher->group(status));
    for (int32_t g = 1; g <= matcher->groupCount(); ++g) {
      if (matcher->start(g, status) < 0) {
        match.groups.emplace_back(std::nullopt);
      } else {
        match.groups.emplace_back(toUtf8(matcher->group(g, status)));
      }
    }
    found.push_back(std::move(match));
  }
  return found;
}

std::string RegularExpression::replacingMatches(std::string_view utf8, std::string_view replacement) const {
  const icu::UnicodeString text = fromUtf8(utf8);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(text, status));
  if (U_FAILURE(status)) return std::string(utf8);
  const icu::UnicodeString result = matcher->replaceAll(fromUtf8(replacement), status);
  if (U_FAILURE(status)) throw RegularExpressionError::invalidPattern(impl_->pattern, std::string("replacement: ") + u_errorName(status));
  return toUtf8(result);
}

}  // namespace platform::text
