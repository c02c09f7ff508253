#include "platform/text/Folding.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace platform::text {
namespace {

// NFD without the nonspacing marks (a normaliser that ICU cannot give leaves the text decomposed
// as it is).
icu::UnicodeString withoutNonspacingMarks(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  if (U_SUCCESS(status) && nfd) {
    icu::UnicodeString decomposed = nfd->normalize(text, status);
    if (U_SUCCESS(status)) text = decomposed;
  }
  icu::UnicodeString stripped;
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
    i += U16_LENGTH(c);
  }
  return stripped;
}

}  // namespace

std::string foldCaseAndDiacritics(std::string_view utf8) {
  icu::UnicodeString stripped = withoutNonspacingMarks(utf8);
  stripped.foldCase(U_FOLD_CASE_DEFAULT);
  std::string folded;
  stripped.toUTF8String(folded);
  return folded;
}

std::string foldDiacritics(std::string_view utf8) {
  icu::UnicodeString stripped = withoutNonspacingMarks(utf8);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_SUCCESS(status) && nfc) {
    icu::UnicodeString composed = nfc->normalize(stripped, status);
    if (U_SUCCESS(status)) stripped = composed;
  }
  std::string folded;
  stripped.toUTF8String(folded);
  return folded;
}

}  // namespace platform::text
