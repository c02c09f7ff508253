#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "speech/Shared/ParakeetEncoderPrecision.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {

// One of the Parakeet TDT model sets the recogniser runs, with everything that differs between
// them: the hub repository (and so the cache folder), the files, the numbers the decoder needs,
// the front end, and the systems it needs. The encoder precision matters to v3 only.
// A plain value, compared and hashed by case; safe from any thread.
//
//   AsrModelVersion version = AsrModelVersion::v3;
//   TdtDecoderState state(version.decoderLayers());
class AsrModelVersion {
 public:
  enum class Case : std::uint8_t {
    v2,
    v3,
    redux,
    ultra,
    quillet2,
    quillet25,
    thistle3,
    thistle3Clean,
    tdtCtc110m,
    tdtJa,
  };
  using enum Case;

  constexpr AsrModelVersion(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The ten cases in declaration order. The span refers to static storage.
  static std::span<const AsrModelVersion> allCases();

  // The hub repository; its folderName() is the version's cache folder.
  Repo repo() const;

  // Token id of the TDT blank; the vocabulary holds the ids below it.
  int64_t blankId() const;
  // LSTM layers of the prediction network.
  int64_t decoderLayers() const;
  // Width of one encoder output frame.
  int64_t encoderHiddenSize() const;
  // The preprocessor already yields encoder frames: no encoder model, no encoder ladder.
  bool hasFusedEncoder() const;
  // v3 to thistle3Clean.
  bool isV3Family() const;
  // The name to report for a version whose compressed encoder needs iOS 18 / macOS 15
  // ("Parakeet Redux", "Quillet-2", "Quillet-2.5", "Thistle 3.0", "Thistle 3.0 Clean"); none for
  // the others.
  std::optional<std::string_view> macOS15PlatformName() const;

  // Files directly inside the cache folder.
  std::string_view preprocessorFile() const;
  // The precision's encoder file for v3, "Encoder.mlmodelc" for the others but tdtCtc110m, which
  // has none.
  std::optional<std::string_view> encoderFile(ParakeetEncoderPrecision precision) const;
  std::string_view decoderFile() const;
  std::string_view jointFile() const;
  std::string_view vocabularyFile() const;

  // The hub variant of the repository: the precision's raw value for v3, none for the others.
  std::optional<std::string> hubVariant(ParakeetEncoderPrecision precision) const;

 private:
  Case value_;
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::AsrModelVersion> {
  std::size_t operator()(tesselaudio::AsrModelVersion version) const noexcept {
    return std::hash<tesselaudio::AsrModelVersion::Case>()(version);
  }
};
