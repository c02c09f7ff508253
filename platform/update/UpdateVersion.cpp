#include "platform/update/UpdateVersion.h"

#include <cassert>
#include <vector>

namespace platform::UpdateVersion {

namespace {

std::vector<std::string_view> partsOf(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (;;) {
    const auto dot = text.find('.', begin);
    parts.push_back(text.substr(begin, dot == std::string_view::npos ? std::string_view::npos : dot - begin));
    if (dot == std::string_view::npos) return parts;
    begin = dot + 1;
  }
}

std::string_view withoutLeadingZeros(std::string_view part) {
  while (part.size() > 1 && part.front() == '0') part.remove_prefix(1);
  return part.empty() ? std::string_view("0") : part;
}

// Digit strings of any length compare without overflow: by length once leading zeros are gone.
int comparePart(std::string_view a, std::string_view b) {
  a = withoutLeadingZeros(a);
  b = withoutLeadingZeros(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool isValid(std::string_view text) {
  if (text.empty() || text.size() > kMaxVersionLength) return false;
  for (std::string_view part : partsOf(text)) {
    if (part.empty()) return false;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
    }
  }
  return true;
}

int compare(std::string_view a, std::string_view b) {
  assert(isValid(a) && isValid(b));
  const auto partsA = partsOf(a);
  const auto partsB = partsOf(b);
  for (std::size_t i = 0; i < std::max(partsA.size(), partsB.size()); ++i) {
    const std::string_view partA = i < partsA.size() ? partsA[i] : "0";
    const std::string_view partB = i < partsB.size() ? partsB[i] : "0";
    if (const int order = comparePart(partA, partB); order != 0) return order;
  }
  return 0;
}

}  // namespace platform::UpdateVersion
