#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tesselaudio {

// How one window inference declares the window's length to the models: a set of options over a
// 64-bit raw value. The empty set declares the real audio length everywhere; the others exist to
// decode again a window that came out empty. A value; safe from any thread.
//
//   auto policy = InferenceLengthPolicy::encoderFull() | InferenceLengthPolicy::trimmedTail();
//   policy.description();  // "encoderFull+trimmedTail"
struct InferenceLengthPolicy {
  int64_t rawValue = 0;

  // The encoder's "mel_length" becomes the full frame count of its "mel" input.
  static constexpr InferenceLengthPolicy encoderFull() { return {1}; }
  // The preprocessor's "audio_length" declares the whole buffer.
  static constexpr InferenceLengthPolicy preprocessorFull() { return {2}; }
  // The declared length is cut back to whole encoder frames, at least 3,200 samples short of the
  // real end but never below 32,000 samples, and the samples past the cut are silenced.
  static constexpr InferenceLengthPolicy trimmedTail() { return {4}; }

  constexpr InferenceLengthPolicy() = default;
  constexpr InferenceLengthPolicy(int64_t raw) : rawValue(raw) {}
  // The union of `members`.
  constexpr InferenceLengthPolicy(std::initializer_list<InferenceLengthPolicy> members) {
    for (auto member : members) rawValue |= member.rawValue;
  }

  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr bool contains(InferenceLengthPolicy member) const { return (rawValue & member.rawValue) == member.rawValue; }
  constexpr bool isSubset(InferenceLengthPolicy of) const { return (rawValue & ~of.rawValue) == 0; }
  constexpr bool isSuperset(InferenceLengthPolicy of) const { return of.isSubset(*this); }
  constexpr bool isDisjoint(InferenceLengthPolicy with) const { return (rawValue & with.rawValue) == 0; }

  // Adds `member`; returns whether it was absent before.
  constexpr bool insert(InferenceLengthPolicy member) {
    const bool absent = !contains(member);
    rawValue |= member.rawValue;
    return absent;
  }
  // Removes `member`; returns whether it was present.
  constexpr bool remove(InferenceLengthPolicy member) {
    const bool present = !isDisjoint(member);
    rawValue &= ~member.rawValue;
    return present;
  }
  // Adds `member`; returns whether it was present before.
  constexpr bool update(InferenceLengthPolicy member) { return !insert(member); }

  friend constexpr InferenceLengthPolicy operator|(InferenceLengthPolicy a, InferenceLengthPolicy b) { return {a.rawValue | b.rawValue}; }
  friend constexpr InferenceLengthPolicy operator&(InferenceLengthPolicy a, InferenceLengthPolicy b) { return {a.rawValue & b.rawValue}; }
  friend constexpr InferenceLengthPolicy operator^(InferenceLengthPolicy a, InferenceLengthPolicy b) { return {a.rawValue ^ b.rawValue}; }
  friend constexpr InferenceLengthPolicy operator-(InferenceLengthPolicy a, InferenceLengthPolicy b) { return {a.rawValue & ~b.rawValue}; }
  constexpr bool operator==(const InferenceLengthPolicy&) const = default;

  // The names of the set members in the order encoderFull, preprocessorFull, trimmedTail joined by
  // "+"; "actual" for the empty set.
  std::string description() const;
};

}  // namespace tesselaudio
