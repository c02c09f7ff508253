#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace tesselaudio {

// Edit distances. Pure functions; safe from any thread.
namespace StringUtils {

// The Levenshtein distance between the user-perceived characters of two UTF-8 texts, characters
// compared up to canonical equivalence (precomposed é equals e + U+0301).
std::size_t levenshteinDistance(std::string_view a, std::string_view b);

// The Levenshtein distance between two lists of elements compared with ==.
template <class T>
std::size_t levenshteinDistance(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.empty()) return b.size();
  if (b.empty()) return a.size();
  // Two rows of the full table are enough.
  std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

}  // namespace StringUtils
}  // namespace tesselaudio
