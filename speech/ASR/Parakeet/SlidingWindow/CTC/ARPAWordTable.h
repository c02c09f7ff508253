#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tesselaudio {

// A dictionary from words to values, as an ARPA model keeps its n-grams: the entries lie in one
// vector in the order they were first added, found through an open-addressed index of their
// hashes, so that a model of a million n-grams loads without a million separate allocations.
// Searched with a string_view. A value; reads are safe from any thread while nobody writes.
//
// Instantiated for ARPALanguageModel::Entry and for tables of them.
template <class Value>
class ARPAWordTable {
 public:
  using value_type = std::pair<std::string, Value>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  ARPAWordTable() = default;
  // Later entries for the same word replace earlier ones.
  ARPAWordTable(std::initializer_list<value_type> entries);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The value of `word`, or nullptr when it has none. The pointer stays valid until the next
  // insertion.
  const Value* find(std::string_view word) const;
  Value* find(std::string_view word);
  bool contains(std::string_view word) const { return find(word) != nullptr; }
  // The value of `word`. Throws std::out_of_range when it has none.
  const Value& at(std::string_view word) const;

  // The value of `word`, added value-initialised when it has none.
  Value& operator[](std::string_view word);

  // The entries in the order their words were first added.
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // The same words with equal values, in any order.
  bool operator==(const ARPAWordTable& other) const;

 private:
  static constexpr uint32_t kEmpty = 0;

  // The slot holding `word`, or the empty slot where it would go.
  size_t slotOf(std::string_view word, uint64_t hash) const;
  void grow();

  std::vector<value_type> entries_;
  std::vector<uint64_t> hashes_;  // of entries_, for regrowing and for quick comparison
  std::vector<uint32_t> slots_;   // index + 1 into entries_, or kEmpty; a power of two long
};

}  // namespace tesselaudio
