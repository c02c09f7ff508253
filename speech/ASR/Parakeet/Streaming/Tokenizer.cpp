#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"

#include <charconv>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/sys/FileIO.h"
#include "platform/sys/JsonCodingError.h"
#include "platform/text/Whitespace.h"

namespace tesselaudio {
namespace {

constexpr std::string_view kWordStart = "\xE2\x96\x81";  // U+2581

// The id a key names: an optional sign, then only decimal digits, within int64.
std::optional<std::int64_t> readId(std::string_view key) {
  std::string_view digits = key;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Read with the sign so that the most negative value still fits.
  const std::string text = negative ? "-" + std::string(digits) : std::string(digits);
  std::int64_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

std::string replaceWordStarts(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, kWordStart.size(), kWordStart) == 0) {
      out += ' ';
      i += kWordStart.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& problem) {
  throw platform::JsonCodingError::dataCorrupted("vocabulary file " + file.string() + ": " + problem);
}

}  // namespace

Tokenizer::Tokenizer(const std::filesystem::path& vocabPath) {
  const std::string content = platform::readFile(vocabPath);
  // ordered_json keeps the file's order, so the last of several keys naming one id wins.
  nlohmann::ordered_json json;
  try {
    json = nlohmann::ordered_json::parse(content);
  } catch (const nlohmann::json::exception& e) {
    refuse(vocabPath, std::string("not JSON (") + e.what() + ")");
  }
  if (!json.is_object()) refuse(vocabPath, "the top level is not an object");
  for (const auto& [key, value] : json.items()) {
    if (!value.is_string()) refuse(vocabPath, "the value of \"" + key + "\" is not a string");
    const auto& piece = value.get_ref<const std::string&>();
    vocab_[key] = piece;
    if (auto id = readId(key)) idToToken_[*id] = piece;
  }
}

std::string Tokenizer::decode(const std::vector<std::int64_t>& ids) const {
  std::string joined;
  for (std::int64_t id : ids) {
    auto it = idToToken_.find(id);
    if (it != idToToken_.end()) joined += it->second;
  }
  return platform::text::trimBlanks(replaceWordStarts(std::move(joined)));
}

std::optional<std::string> Tokenizer::piece(std::int64_t forId) const {
  auto it = idToToken_.find(forId);
  if (it == idToToken_.end()) return std::nullopt;
  return it->second;
}

}  // namespace tesselaudio
