#include "platform/text/Normalization.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace platform::text {
namespace {

std::string normalized(std::string_view utf8, const icu::Normalizer2* form, UErrorCode status) {
  if (U_FAILURE(status) || form == nullptr) return std::string(utf8);
  const icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  const icu::UnicodeString normalised = form->normalize(text, status);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out;
  normalised.toUTF8String(out);
  return out;
}

}  // namespace

std::string toNfc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* form = icu::Normalizer2::getNFCInstance(status);
  return normalized(utf8, form, status);
}

std::string toNfkc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* form = icu::Normalizer2::getNFKCInstance(status);
  return normalized(utf8, form, status);
}

}  // namespace platform::text
