#include "speech/Shared/StringUtils.h"

#include <string>

#include "platform/text/Graphemes.h"
#include "platform/text/Normalization.h"

namespace tesselaudio::StringUtils {
namespace {

// Each user-perceived character in its composed form, so equal-looking ones compare equal.
std::vector<std::string> characters(std::string_view text) {
  std::vector<std::string> out = platform::text::graphemes(text);
  for (std::string& c : out) c = platform::text::toNfc(c);
  return out;
}

}  // namespace

std::size_t levenshteinDistance(std::string_view a, std::string_view b) {
  return levenshteinDistance(characters(a), characters(b));
}

}  // namespace tesselaudio::StringUtils
