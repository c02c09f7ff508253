#pragma once

#include <string>
#include <utility>

namespace tesselaudio {

// Why the punctuation commit layer committed text: at a punctuation mark (which it carries, one
// user-perceived character), after the debounce time, at the caller's request, or at the end of an
// utterance. Two reasons are equal when their kinds are, and for punctuation their marks too. A value.
class CommitReason {
 public:
  enum class Kind { punctuation, debounceTimeout, manualCommit, endOfUtterance };

  static CommitReason punctuation(std::string character) { return {Kind::punctuation, std::move(character)}; }
  static CommitReason debounceTimeout() { return {Kind::debounceTimeout, {}}; }
  static CommitReason manualCommit() { return {Kind::manualCommit, {}}; }
  static CommitReason endOfUtterance() { return {Kind::endOfUtterance, {}}; }

  Kind kind() const { return kind_; }
  // The mark of a punctuation commit; empty for the other kinds.
  const std::string& character() const { return character_; }

  bool operator==(const CommitReason&) const = default;

 private:
  CommitReason(Kind kind, std::string character) : kind_(kind), character_(std::move(character)) {}

  Kind kind_;
  std::string character_;
};

}  // namespace tesselaudio
