#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAWordTable.h"

#include <functional>
#include <stdexcept>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"

namespace tesselaudio {
namespace {

uint64_t hashOf(std::string_view word) { return std::hash<std::string_view>{}(word); }

}  // namespace

template <class Value>
ARPAWordTable<Value>::ARPAWordTable(std::initializer_list<value_type> entries) {
  for (const auto& [word, value] : entries) (*this)[word] = value;
}

template <class Value>
size_t ARPAWordTable<Value>::slotOf(std::string_view word, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t index = slots_[slot];
    if (index == kEmpty) return slot;
    if (hashes_[index - 1] == hash && entries_[index - 1].first == word) return slot;
  }
}

template <class Value>
const Value* ARPAWordTable<Value>::find(std::string_view word) const {
  if (slots_.empty()) return nullptr;
  const uint32_t index = slots_[slotOf(word, hashOf(word))];
  return index == kEmpty ? nullptr : &entries_[index - 1].second;
}

template <class Value>
Value* ARPAWordTable<Value>::find(std::string_view word) {
  return const_cast<Value*>(static_cast<const ARPAWordTable&>(*this).find(word));
}

template <class Value>
const Value& ARPAWordTable<Value>::at(std::string_view word) const {
  const Value* value = find(word);
  if (value == nullptr) throw std::out_of_range("no entry for the word \"" + std::string(word) + "\"");
  return *value;
}

template <class Value>
Value& ARPAWordTable<Value>::operator[](std::string_view word) {
  // Half-empty at most, so probes stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t hash = hashOf(word);
  const size_t slot = slotOf(word, hash);
  if (slots_[slot] != kEmpty) return entries_[slots_[slot] - 1].second;
  entries_.emplace_back(std::string(word), Value{});
  hashes_.push_back(hash);
  slots_[slot] = static_cast<uint32_t>(entries_.size());
  return entries_.back().second;
}

template <class Value>
void ARPAWordTable<Value>::grow() {
  slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, kEmpty);
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < hashes_.size(); ++i) {
    size_t slot = hashes_[i] & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(i + 1);
  }
}

template <class Value>
bool ARPAWordTable<Value>::operator==(const ARPAWordTable& other) const {
  if (size() != other.size()) return false;
  for (const auto& [word, value] : entries_) {
    const Value* theirs = other.find(word);
    if (theirs == nullptr || !(*theirs == value)) return false;
  }
  return true;
}

template class ARPAWordTable<ARPALanguageModel::Entry>;
template class ARPAWordTable<ARPAWordTable<ARPALanguageModel::Entry>>;

}  // namespace tesselaudio
