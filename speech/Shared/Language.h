#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "speech/Shared/Script.h"

namespace tesselaudio {

// The language hints the recognisers understand, with their two-letter codes.
enum class Language {
  english, spanish, french, german, italian, portuguese, romanian, dutch, danish, swedish,
  finnish, hungarian, estonian, latvian, lithuanian, maltese, polish, czech, slovak, slovenian,
  croatian, bosnian, russian, ukrainian, belarusian, bulgarian, serbian, greek,
};

// Every language, in declaration order.
const std::array<Language, 28>& allLanguages();

// The two-letter lower-case code ("en" ... "el").
std::string_view rawValue(Language language);

// The language whose code is exactly `code` ("sr" gives serbian; "EN" and "eng" give none).
std::optional<Language> languageFromRawValue(std::string_view code);

// latin for english to bosnian, cyrillic for russian to serbian, greek for greek.
Script script(Language language);

}  // namespace tesselaudio
