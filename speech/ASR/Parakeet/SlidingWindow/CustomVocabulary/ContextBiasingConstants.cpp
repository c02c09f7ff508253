#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sys/Environment.h"
#include "platform/text/CaseMapping.h"
#include "platform/text/DoubleText.h"

namespace tesselaudio::ContextBiasingConstants {
namespace {

constexpr float kPresetCbw = 4.5f;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// An optional sign and one or more digits, the whole value, within 64 bits.
std::optional<std::int64_t> integerVariable(const char* name) {
  const auto value = platform::Environment::value(name);
  if (!value) return std::nullopt;
  std::string_view text = *value;
  const bool hasSign = !text.empty() && (text.front() == '+' || text.front() == '-');
  const std::string_view digits = hasSign ? text.substr(1) : text;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) return std::nullopt;
  // from_chars takes "-" but not "+".
  if (text.front() == '+') text = digits;
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

std::optional<float> floatVariable(const char* name) {
  const auto value = platform::Environment::value(name);
  if (!value) return std::nullopt;
  const auto number = platform::text::parseDouble(*value);
  if (!number) return std::nullopt;
  return static_cast<float>(*number);
}

std::optional<bool> booleanVariable(const char* name) {
  const auto value = platform::Environment::value(name);
  if (!value) return std::nullopt;
  const std::string word = platform::text::toLowerCase(*value);
  if (word == "1" || word == "true" || word == "yes" || word == "on") return true;
  if (word == "0" || word == "false" || word == "no" || word == "off") return false;
  return std::nullopt;
}

}  // namespace

std::int64_t defaultShortTermCbwTaperPivot() { return integerVariable("TESSEL_CBW_TAPER_PIVOT").value_or(1); }

float defaultShortTermCbwTaperExponent() { return floatVariable("TESSEL_CBW_TAPER_EXP").value_or(2.0f); }

float defaultSpotterRescueMinSimilarity() { return floatVariable("TESSEL_SPOTTER_MIN_SIM").value_or(0.0f); }

float defaultSpotterRescueMultiWordMinSimilarity() {
  return floatVariable("TESSEL_SPOTTER_MIN_SIM_MULTI").value_or(0.0f);
}

bool defaultSpotterRescueEnabled() { return booleanVariable("TESSEL_SPOTTER_RESCUE").value_or(true); }

VocabSizeConfig rescorerConfig(std::int64_t forVocabSize) {
  if (forVocabSize <= largeVocabThreshold) return {0.50f, kPresetCbw};
  if (forVocabSize <= extraLargeVocabThreshold) return {0.55f, kPresetCbw};
  return {0.60f, kPresetCbw};
}

}  // namespace tesselaudio::ContextBiasingConstants
