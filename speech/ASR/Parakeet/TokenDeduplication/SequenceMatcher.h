#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "speech/ASR/Parakeet/TokenDeduplication/SequenceMatch.h"

// Searches for runs that two token sequences share, under an equality the caller gives: a
// predicate called with one element of each sequence, the first sequence's element first, and
// only during the call. Stateless; safe from any thread.
//
//   auto sameToken = [](const Timed& a, const Timed& b) { return a.id == b.id; };
//   if (auto match = SequenceMatcher::findSuffixPrefixMatch(previous, current, 12, sameToken)) {
//     current.erase(current.begin(), current.begin() + match->length);
//   }
namespace tesselaudio::SequenceMatcher {

namespace detail {

template <typename T, typename Matcher>
bool runsMatch(const std::vector<T>& left, int64_t leftStart, const std::vector<T>& right, int64_t rightStart,
               int64_t length, Matcher& matcher) {
  for (int64_t i = 0; i < length; ++i) {
    if (!matcher(left[static_cast<size_t>(leftStart + i)], right[static_cast<size_t>(rightStart + i)])) return false;
  }
  return true;
}

}  // namespace detail

// The longest tail of `previous` (at most `maxOverlap` elements, at least two) that equals the head
// of `current`; none when there is no such run.
template <typename T, typename Matcher>
std::optional<SequenceMatch> findSuffixPrefixMatch(const std::vector<T>& previous, const std::vector<T>& current,
                                                   int64_t maxOverlap, Matcher matcher) {
  const auto previousCount = static_cast<int64_t>(previous.size());
  const auto currentCount = static_cast<int64_t>(current.size());
  const int64_t m = std::min(previousCount, maxOverlap);
  if (m < 2 || currentCount < 2) return std::nullopt;
  for (int64_t length = std::min(m, currentCount); length >= 2; --length) {
    if (detail::runsMatch(previous, previousCount - length, current, 0, length, matcher)) {
      return SequenceMatch{previousCount - length, 0, length};
    }
  }
  return std::nullopt;
}

// A run of at least two of the last `maxSearchLength` elements of `previous` that reappears in
// `current` starting before index `boundarySearchFrames` (a count of start positions, not
// frames). The longest run wins, then the earliest start in previous, then in current. None when
// nothing matches, and also for a `maxSearchLength` below 2 or a negative `boundarySearchFrames`.
template <typename T, typename Matcher>
std::optional<SequenceMatch> findBoundedSubstringMatch(const std::vector<T>& previous, const std::vector<T>& current,
                                                       int64_t maxSearchLength, int64_t boundarySearchFrames,
                                                       Matcher matcher) {
  const auto previousCount = static_cast<int64_t>(previous.size());
  const auto currentCount = static_cast<int64_t>(current.size());
  if (previousCount < 2 || currentCount < 2 || maxSearchLength < 2 || boundarySearchFrames < 0) return std::nullopt;
  const int64_t searchStart = std::max<int64_t>(0, previousCount - maxSearchLength);
  for (int64_t length = std::min(currentCount, maxSearchLength); length >= 2; --length) {
    const int64_t currentStarts = std::min(currentCount - length + 1, boundarySearchFrames);
    for (int64_t j = searchStart; j <= previousCount - length; ++j) {
      for (int64_t k = 0; k < currentStarts; ++k) {
        if (detail::runsMatch(previous, j, current, k, length, matcher)) return SequenceMatch{j, k, length};
      }
    }
  }
  return std::nullopt;
}

// The matched pairs of one longest common subsequence of `left` and `right`, ascending in both
// indices, each as a match of length 1. Where two paths tie, an element of `right` is given up
// before one of `left`; a pair the predicate accepts is always taken. Empty when either side is.
// Time and memory grow with the product of the two lengths.
template <typename T, typename Matcher>
std::vector<SequenceMatch> findLongestCommonSubsequence(const std::vector<T>& left, const std::vector<T>& right,
                                                        Matcher matcher) {
  const size_t rows = left.size() + 1;
  const size_t columns = right.size() + 1;
  std::vector<int64_t> table(rows * columns, 0);
  const auto at = [&](size_t i, size_t j) -> int64_t& { return table[i * columns + j]; };
  for (size_t i = 1; i < rows; ++i) {
    for (size_t j = 1; j < columns; ++j) {
      at(i, j) = matcher(left[i - 1], right[j - 1]) ? at(i - 1, j - 1) + 1 : std::max(at(i, j - 1), at(i - 1, j));
    }
  }

  std::vector<SequenceMatch> pairs;
  size_t i = left.size();
  size_t j = right.size();
  while (i >= 1 && j >= 1) {
    if (matcher(left[i - 1], right[j - 1])) {
      pairs.push_back({static_cast<int64_t>(i - 1), static_cast<int64_t>(j - 1), 1});
      --i;
      --j;
    } else if (at(i, j - 1) < at(i - 1, j)) {
      --i;
    } else {
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return pairs;
}

}  // namespace tesselaudio::SequenceMatcher
