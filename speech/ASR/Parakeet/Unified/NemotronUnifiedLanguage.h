#pragma once

namespace tesselaudio {

// The language prompt of the multilingual unified recogniser; `auto_` lets the model choose.
enum class NemotronUnifiedLanguage {
  auto_,
  bg,
  cs,
  da,
  de,
  el,
  en,
  es,
  et,
  fi,
  fr,
  hr,
  hu,
  it,
  lt,
  lv,
  mt,
  nl,
  pl,
  pt,
  ro,
  ru,
  sk,
  sl,
  sv,
  uk,
};

}  // namespace tesselaudio
