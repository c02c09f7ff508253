#include "platform/text/Graphemes.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace platform::text {
namespace {

// ASCII without a CR LF pair: every byte is a character of its own.
bool isSimpleAscii(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80 || (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')) return false;
  }
  return true;
}

// Byte offsets of the character boundaries of `utf8`, 0 and utf8.size() included.
std::vector<std::size_t> boundaries(std::string_view utf8) {
  std::vector<std::size_t> result{0};
  if (utf8.empty()) return result;
  if (isSimpleAscii(utf8)) {
    for (std::size_t i = 1; i <= utf8.size(); ++i) result.push_back(i);
    return result;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), &utext_close);
  // Making a break iterator costs far more than using one: keep one per thread.
  thread_local std::unique_ptr<icu::BreakIterator> cached(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  icu::BreakIterator* it = cached.get();
  if (U_FAILURE(status) || !it) {
    // Without ICU's data every byte counts alone; never reached with a working ICU.
    for (std::size_t i = 1; i <= utf8.size(); ++i) result.push_back(i);
    return result;
  }
  it->setText(text.get(), status);
  for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
    result.push_back(static_cast<std::size_t>(b));
  }
  return result;
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8) { return boundaries(utf8).size() - 1; }

std::vector<std::string> graphemes(std::string_view utf8) {
  auto b = boundaries(utf8);
  std::vector<std::string> result;
  result.reserve(b.size() - 1);
  for (std::size_t i = 1; i < b.size(); ++i) {
    result.emplace_back(utf8.substr(b[i - 1], b[i] - b[i - 1]));
  }
  return result;
}

std::string graphemePrefix(std::string_view utf8, std::size_t count) {
  auto b = boundaries(utf8);
  if (count + 1 >= b.size()) return std::string(utf8);
  return std::string(utf8.substr(0, b[count]));
}

std::string graphemePrefixWithinBytes(std::string_view utf8, std::size_t maxBytes) {
  if (utf8.size() <= maxBytes) return std::string(utf8);
  auto b = boundaries(utf8);
  std::size_t end = 0;
  for (std::size_t offset : b) {
    if (offset > maxBytes) break;
    end = offset;
  }
  return std::string(utf8.substr(0, end));
}

bool isValidUtf8(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t length = static_cast<int32_t>(utf8.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace platform::text
