#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tesselaudio {

// One model repository on the model hub: the closed catalogue of every repository (or variant
// folder of one) that an engine of the library can ask for. Everything model delivery needs is
// derived from the case: the hub path and the folder inside it, the revision to fetch, and the
// folder under the local models root.
//
// The raw value is an identifier only ("TesselInference/ls-eend-coreml/optimized/ami"); callers
// never parse it and use remotePath() and subPath() for the hub, folderName() for the local side.
//
// A plain value, compared and hashed by case; safe from any thread.
//
//   Repo repo = Repo::sortformer;
//   auto folder = modelsRoot / repo.folderName();
class Repo {
 public:
  enum class Case : std::uint8_t {
    cuaS1Forms,
    vad,
    localVqe,
    parakeetV3,
    parakeetRedux,
    parakeetUltra,
    quillet2,
    quillet25,
    thistle3,
    thistle3Clean,
    parakeetV2,
    parakeetCtc110m,
    parakeetCtc06b,
    senseVoiceSmall,
    nemotron35TranscribeLite,
    lfm3Audio,
    lfm3AudioCoreAI,
    campPlus,
    fsmnVad,
    paraformerLargeZh,
    parakeetJa,
    parakeetEou160,
    parakeetEou320,
    parakeetEou1280,
    nemotronStreaming2240,
    nemotronStreaming1120,
    nemotronStreaming560,
    parakeetUnified,
    nemotronUnified,
    nemotronMultilingual,
    diarizer,
    kokoro,
    kokoroAne,
    kokoroAneZh,
    kokoroAneJa,
    sortformer,
    nemotron3Diarization,
    lseendAmi,
    lseendCallHome,
    lseendDihard2,
    lseendDihard3,
    pocketTts,
    multilingualG2p,
    parakeetTdtCtc110m,
    cohereTranscribeCoreml,
    canary1bV2,
    styletts2,
    supertonic3,
    neuTts,
    luxtts,
    inflectMicro,
    inflectNano,
    paradeeInt8,
    paradeeFp32,
    paradeeV12Int8,
    paradeeV12Fp32,
    chatterbox,
    chatterboxNano,
  };
  using enum Case;

  constexpr Repo(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` (whole text, case-sensitive), or none.
  static std::optional<Repo> fromRawValue(std::string_view rawValue);

  // Every case in declaration order. The span refers to static storage.
  static std::span<const Repo> allCases();

  // The hub identifier: organisation, "/", repository and, for a folder of a repository, "/"
  // and the folder.
  std::string_view rawValue() const;

  // The raw value without its organisation, the folder included ("kokoro-82m-coreml/ANE").
  std::string name() const;

  // The hub repository path: organisation, "/", repository.
  std::string remotePath() const;

  // The folder inside the hub repository that holds the files, or none for the repository root.
  std::optional<std::string> subPath() const;

  // The folder under the local models root; a "/" in it means nested folders.
  std::string folderName() const;

  // The hub revision to fetch and to compare the local cache with: "main", or a pinned commit.
  std::string revision() const;

 private:
  Case value_;
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::Repo> {
  std::size_t operator()(tesselaudio::Repo repo) const noexcept {
    return std::hash<tesselaudio::Repo::Case>()(repo);
  }
};
