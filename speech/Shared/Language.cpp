#include "speech/Shared/Language.h"

namespace tesselaudio {
namespace {

constexpr std::array<std::string_view, 28> kCodes = {
    "en", "es", "fr", "de", "it", "pt", "ro", "nl", "da", "sv", "fi", "hu", "et", "lv",
    "lt", "mt", "pl", "cs", "sk", "sl", "hr", "bs", "ru", "uk", "be", "bg", "sr", "el",
};

}  // namespace

const std::array<Language, 28>& allLanguages() {
  static constexpr std::array<Language, 28> kAll = [] {
    std::array<Language, 28> all{};
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<Language>(i);
    return all;
  }();
  return kAll;
}

std::string_view rawValue(Language language) { return kCodes[static_cast<size_t>(language)]; }

std::optional<Language> languageFromRawValue(std::string_view code) {
  for (size_t i = 0; i < kCodes.size(); ++i) {
    if (kCodes[i] == code) return static_cast<Language>(i);
  }
  return std::nullopt;
}

Script script(Language language) {
  if (language == Language::greek) return Script::greek;
  if (language >= Language::russian) return Script::cyrillic;
  return Script::latin;
}

}  // namespace tesselaudio
