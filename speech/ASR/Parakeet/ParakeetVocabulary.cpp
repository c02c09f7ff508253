#include "speech/ASR/Parakeet/ParakeetVocabulary.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include <nlohmann/json.hpp>

namespace tesselaudio::ParakeetVocabulary {
namespace {

// A decimal integer with an optional sign, the whole key and nothing else.
std::optional<int> tokenId(std::string_view key) {
  const bool negative = !key.empty() && key.front() == '-';
  if (!key.empty() && (key.front() == '+' || key.front() == '-')) key.remove_prefix(1);
  if (key.empty() || key.front() < '0' || key.front() > '9') return std::nullopt;
  unsigned long long magnitude = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), magnitude);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  const long long value = negative ? -static_cast<long long>(std::min<unsigned long long>(magnitude, 1ULL << 62))
                                   : static_cast<long long>(std::min<unsigned long long>(magnitude, 1ULL << 62));
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(value);
}

// Builds the map while the text is read, without a document in between: a vocabulary holds
// thousands of pieces and is read on every model load.
class VocabularyReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  // The map, or none when the top level had another shape.
  std::optional<std::map<int, std::string>> result() && {
    if (!shapeFits_ || topLevel_ == TopLevel::none) return std::nullopt;
    return std::move(vocabulary_);
  }

  bool null() override { return other(); }
  bool boolean(bool) override { return other(); }
  bool number_integer(number_integer_t) override { return other(); }
  bool number_unsigned(number_unsigned_t) override { return other(); }
  bool number_float(number_float_t, const string_t&) override { return other(); }
  bool binary(binary_t&) override { return other(); }

  bool string(string_t& value) override {
    if (depth_ != 1) return other();
    if (topLevel_ == TopLevel::array) {
      vocabulary_.emplace_hint(vocabulary_.end(), nextId_++, std::move(value));
    } else if (pendingId_) {
      vocabulary_.emplace(*pendingId_, std::move(value));
    }
    return true;
  }

  bool start_object(std::size_t) override { return open(TopLevel::object); }
  bool start_array(std::size_t) override { return open(TopLevel::array); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& key) override {
    if (depth_ == 1) pendingId_ = tokenId(key);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
    throw error;
  }

 private:
  enum class TopLevel { none, array, object };

  // A value that is not a piece: fine inside a nested value, a misfit at the top or as an entry.
  bool other() {
    if (depth_ <= 1) shapeFits_ = false;
    return true;
  }

  bool open(TopLevel kind) {
    if (depth_ == 0) {
      topLevel_ = kind;
    } else if (depth_ == 1) {
      shapeFits_ = false;
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  std::map<int, std::string> vocabulary_;
  TopLevel topLevel_ = TopLevel::none;
  bool shapeFits_ = true;
  int depth_ = 0;
  int nextId_ = 0;
  std::optional<int> pendingId_;
};

}  // namespace

std::optional<std::map<int, std::string>> fromJson(std::string_view json) {
  VocabularyReader reader;
  nlohmann::json::sax_parse(json.begin(), json.end(), &reader);
  return std::move(reader).result();
}

}  // namespace tesselaudio::ParakeetVocabulary
