#include "platform/text/Normalization.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace platform::text {

std::string toNfc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) return std::string(utf8);
  const icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  const icu::UnicodeString normalised = nfc->normalize(text, status);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out;
  normalised.toUTF8String(out);
  return out;
}

}  // namespace platform::text
