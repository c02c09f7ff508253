#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A compiled regular expression over UTF-8 text (ICU's syntax: \p{L}, (?i:...), look-ahead).
// Matching runs over the text as UTF-16, so ranges and `.` count UTF-16 code units the way the
// pattern's authors expect; results come back as UTF-8. Invalid UTF-8 in a text is read with
// U+FFFD in place of each bad sequence.
//
//   RegularExpression tags(R"(<\|([^|]*)\|>)");
//   for (const auto& m : tags.matches(text)) use(*m.groups[0]);
//   std::string plain = tags.replacingMatches(text, "");
namespace platform::text {

// Immutable once compiled; safe to use from several threads at once.
class RegularExpression {
 public:
  // One match: the matched text and each capture group in order (nullopt for a group that took
  // no part in the match).
  struct Match {
    std::string text;
    std::vector<std::optional<std::string>> groups;

    bool operator==(const Match&) const = default;
  };

  // Compiles `pattern` with no options. Throws RegularExpressionError(invalidPattern) carrying
  // ICU's message and the pattern.
  explicit RegularExpression(std::string_view pattern);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const;

  // Every match in `utf8`, left to right, not overlapping.
  std::vector<Match> matches(std::string_view utf8) const;

  // `utf8` with every match replaced by `replacement`, in which $n stands for group n and \ quotes
  // the next character.
  std::string replacingMatches(std::string_view utf8, std::string_view replacement) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::text
