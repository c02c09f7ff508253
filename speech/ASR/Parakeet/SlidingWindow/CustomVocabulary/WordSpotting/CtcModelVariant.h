#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "speech/Shared/Repo.h"

namespace tesselaudio {

// Which CTC spotter model set: the 110M hybrid or the 0.6B pure model. A plain value, compared by
// case; safe from any thread.
class CtcModelVariant {
 public:
  enum class Case : std::uint8_t { ctc110m, ctc06b };
  using enum Case;

  constexpr CtcModelVariant(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("ctc110m", "ctc06b"), or none.
  static std::optional<CtcModelVariant> fromRawValue(std::string_view rawValue);

  std::string_view rawValue() const;
  // "Parakeet CTC 110M (hybrid)" or "Parakeet CTC 0.6B (pure)".
  std::string_view displayName() const;
  // The catalogue entry: Repo::parakeetCtc110m or Repo::parakeetCtc06b.
  Repo repo() const;

 private:
  Case value_;
};

}  // namespace tesselaudio
