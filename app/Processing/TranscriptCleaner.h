#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veltovoice {

// The text rules of the transcript clean-up: the terms of a participants-and-terms memo, the edit
// distance between two wordings, and whether a corrected wording is taken. Stateless; safe from
// any thread. Lengths and distances count user-perceived characters (grapheme clusters).
namespace TranscriptCleaner {

// The memo cut at "、" "," "，" "・" "/" "／" line feed "：" ":" "（" "）" "(" ")" "「" "」" blank and
// U+3000, each part trimmed of blanks and tabs; the parts of at least two characters other than
// "参加者", "用語" and "さん", in order, repeats kept.
std::vector<std::string> memoTerms(std::string_view memo);

// The Levenshtein distance between `a` and `b` over their characters (insertion, deletion and
// substitution cost 1 each). Segments each text once and keeps two rows, not a whole table.
int distance(std::string_view a, std::string_view b);

enum class Verdict {
  unchanged,  // the new wording is the old one
  accepted,
  refused,    // it changes too much
};

// Whether `corrected` may replace `original`: the distance over the longer length (the distance
// itself when that length is at most one) may be at most 0.5, or at most 0.75 when `corrected`
// brings in one of `terms` that `original` lacks.
Verdict judge(std::string_view original, std::string_view corrected, const std::vector<std::string>& terms);

}  // namespace TranscriptCleaner
}  // namespace veltovoice
