#include "speech/Shared/Repo.h"

#include <array>
#include <cassert>
#include <utility>

namespace tesselaudio {
namespace {

struct Entry {
  Repo::Case value;
  const char* rawValue;
  const char* subPath;  // nullptr: the files lie at the repository root
  const char* folder;   // nullptr: the name without "-coreml"
};

// In declaration order, so that an entry's index is its case.
constexpr std::array<Entry, 58> kEntries = {{
    {Repo::cuaS1Forms, "TesselInference/cua-s1-forms-coreml", nullptr, nullptr},
    {Repo::vad, "TesselInference/silero-vad-coreml", nullptr, nullptr},
    {Repo::localVqe, "TesselInference/localvqe-coreml", nullptr, nullptr},
    {Repo::parakeetV3, "TesselInference/parakeet-tdt-0.6b-v3-coreml", nullptr, nullptr},
    {Repo::parakeetRedux, "TesselInference/parakeet-redux-coreml", nullptr, nullptr},
    {Repo::parakeetUltra, "TesselInference/parakeet-ultra-coreml", nullptr, nullptr},
    {Repo::quillet2, "TesselInference/quillet-2-coreml", nullptr, nullptr},
    {Repo::quillet25, "Brindle-HQ/quillet-2.5-coreml", nullptr, nullptr},
    {Repo::thistle3, "TesselInference/thistle-3.0-coreml/thistle-3.0", "thistle-3.0", "thistle-3.0"},
    {Repo::thistle3Clean, "TesselInference/thistle-3.0-coreml/thistle-3.0-clean", "thistle-3.0-clean",
     "thistle-3.0-clean"},
    {Repo::parakeetV2, "TesselInference/parakeet-tdt-0.6b-v2-coreml", nullptr, nullptr},
    {Repo::parakeetCtc110m, "TesselInference/parakeet-ctc-110m-coreml", nullptr,
     "parakeet-ctc-110m-coreml"},
    {Repo::parakeetCtc06b, "TesselInference/parakeet-ctc-0.6b-coreml", nullptr,
     "parakeet-ctc-0.6b-coreml"},
    {Repo::senseVoiceSmall, "TesselInference/sensevoice-small-coreml", nullptr, nullptr},
    {Repo::nemotron35TranscribeLite, "TesselInference/nemotron-3.5-transcribe-lite-coreml", nullptr,
     nullptr},
    {Repo::lfm3Audio, "TesselInference/lfm3-audio-2b-coreml", nullptr, nullptr},
    {Repo::lfm3AudioCoreAI, "TesselInference/lfm3-audio-2b-coreai", nullptr, nullptr},
    {Repo::campPlus, "TesselInference/campplus-coreml", nullptr, nullptr},
    {Repo::fsmnVad, "TesselInference/fsmn-vad-coreml", nullptr, nullptr},
    {Repo::paraformerLargeZh, "TesselInference/paraformer-large-zh-coreml", nullptr, nullptr},
    {Repo::parakeetJa, "TesselInference/parakeet-0.6b-ja-coreml", nullptr, "parakeet-ja"},
    {Repo::parakeetEou160, "TesselInference/parakeet-realtime-eou-120m-coreml/160ms", "160ms",
     "parakeet-eou-streaming/160ms"},
    {Repo::parakeetEou320, "TesselInference/parakeet-realtime-eou-120m-coreml/320ms", "320ms",
     "parakeet-eou-streaming/320ms"},
    {Repo::parakeetEou1280, "TesselInference/parakeet-realtime-eou-120m-coreml/1280ms", "1280ms",
     "parakeet-eou-streaming/1280ms"},
    // The hub folders of the streaming Nemotron models are not named like their raw values.
    {Repo::nemotronStreaming2240, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/2240ms",
     "nemotron_coreml_2240ms", "nemotron-streaming/2240ms"},
    {Repo::nemotronStreaming1120, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/1120ms",
     "nemotron_coreml_1120ms", "nemotron-streaming/1120ms"},
    {Repo::nemotronStreaming560, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/560ms",
     "nemotron_coreml_560ms", "nemotron-streaming/560ms"},
    {Repo::parakeetUnified, "TesselInference/parakeet-unified-en-0.6b-coreml", nullptr, nullptr},
    {Repo::nemotronUnified, "TesselInference/nemotron-labs-unified-asr-0.6b-coreml/coreml", "coreml",
     "nemotron-labs-unified-asr/coreml"},
    {Repo::nemotronMultilingual,
     "TesselInference/Nemotron-3.5-ASR-Streaming-Multilingual-0.6b-CoreML", nullptr,
     "nemotron-multilingual"},
    {Repo::diarizer, "TesselInference/speaker-diarization-coreml", nullptr, nullptr},
    {Repo::kokoro, "TesselInference/kokoro-82m-coreml", nullptr, "kokoro"},
    {Repo::kokoroAne, "TesselInference/kokoro-82m-coreml/ANE", "ANE", "kokoro-82m-coreml/ANE"},
    {Repo::kokoroAneZh, "TesselInference/kokoro-82m-coreml/ANE-zh", "ANE-zh",
     "kokoro-82m-coreml/ANE-zh"},
    {Repo::kokoroAneJa, "TesselInference/kokoro-82m-coreml/ANE-ja", "ANE-ja",
     "kokoro-82m-coreml/ANE-ja"},
    {Repo::sortformer, "TesselInference/diar-streaming-sortformer-coreml", nullptr, "sortformer"},
    {Repo::nemotron3Diarization, "TesselInference/nemotron-3-diarization-coreml", nullptr, nullptr},
    {Repo::lseendAmi, "TesselInference/ls-eend-coreml/optimized/ami", "optimized/ami", "ls-eend/ami"},
    {Repo::lseendCallHome, "TesselInference/ls-eend-coreml/optimized/ch", "optimized/ch",
     "ls-eend/ch"},
    {Repo::lseendDihard2, "TesselInference/ls-eend-coreml/optimized/dih2", "optimized/dih2",
     "ls-eend/dih2"},
    {Repo::lseendDihard3, "TesselInference/ls-eend-coreml/optimized/dih3", "optimized/dih3",
     "ls-eend/dih3"},
    {Repo::pocketTts, "TesselInference/pocket-tts-coreml", nullptr, nullptr},
    {Repo::multilingualG2p, "TesselInference/charsiu-g2p-byt5-coreml", nullptr, nullptr},
    {Repo::parakeetTdtCtc110m, "TesselInference/parakeet-tdt-ctc-110m-coreml", nullptr,
     "parakeet-tdt-ctc-110m"},
    {Repo::cohereTranscribeCoreml, "TesselInference/cohere-transcribe-03-2026-coreml/q8", "q8",
     "cohere-transcribe/q8"},
    {Repo::canary1bV2, "TesselInference/canary-1b-v2-coreml", nullptr, nullptr},
    {Repo::styletts2, "TesselInference/StyleTTS-2-coreml/iteration_3/compiled",
     "iteration_3/compiled", "styletts2"},
    {Repo::supertonic3, "TesselInference/supertonic-3-coreml", nullptr, "supertonic-3"},
    {Repo::neuTts, "TesselInference/neutts-2e-coreml", nullptr, nullptr},
    {Repo::luxtts, "TesselInference/luxtts-coreml", nullptr, nullptr},
    {Repo::inflectMicro, "TesselInference/inflect-v2-coreml/micro", "micro",
     "inflect-v2-coreml/micro"},
    {Repo::inflectNano, "TesselInference/inflect-v2-coreml/nano", "nano", "inflect-v2-coreml/nano"},
    {Repo::paradeeInt8, "TesselInference/paradee-8m-coreml/int8", "int8", "paradee-8m-coreml/int8"},
    {Repo::paradeeFp32, "TesselInference/paradee-8m-coreml/fp32", "fp32", "paradee-8m-coreml/fp32"},
    {Repo::paradeeV12Int8, "TesselInference/paradee-8m-coreml/v1.2/int8", "v1.2/int8",
     "paradee-8m-coreml/v1.2/int8"},
    {Repo::paradeeV12Fp32, "TesselInference/paradee-8m-coreml/v1.2/fp32", "v1.2/fp32",
     "paradee-8m-coreml/v1.2/fp32"},
    {Repo::chatterbox, "TesselInference/chatterbox-multilingual-coreml", nullptr, nullptr},
    {Repo::chatterboxNano, "TesselInference/chatterbox-nano-coreml", nullptr, nullptr},
}};

constexpr bool entriesFollowDeclarationOrder() {
  for (std::size_t i = 0; i < kEntries.size(); ++i) {
    if (static_cast<std::size_t>(kEntries[i].value) != i) return false;
  }
  return true;
}
static_assert(entriesFollowDeclarationOrder());
static_assert(kEntries.size() == static_cast<std::size_t>(Repo::chatterboxNano) + 1);

template <std::size_t... I>
constexpr std::array<Repo, sizeof...(I)> makeAllCases(std::index_sequence<I...>) {
  return {kEntries[I].value...};
}
constexpr auto kAllCases = makeAllCases(std::make_index_sequence<kEntries.size()>());

const Entry& entry(Repo repo) {
  auto index = static_cast<std::size_t>(static_cast<Repo::Case>(repo));
  assert(index < kEntries.size());
  return kEntries[index];
}

std::string removeAll(std::string text, std::string_view part) {
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at)) {
    text.erase(at, part.size());
  }
  return text;
}

}  // namespace

std::optional<Repo> Repo::fromRawValue(std::string_view rawValue) {
  for (const auto& e : kEntries) {
    if (rawValue == e.rawValue) return e.value;
  }
  return std::nullopt;
}

std::span<const Repo> Repo::allCases() { return kAllCases; }

std::string_view Repo::rawValue() const { return entry(*this).rawValue; }

std::string Repo::name() const {
  // Both thistle folders are named after their shared repository.
  if (value_ == thistle3 || value_ == thistle3Clean) return "thistle-3.0-coreml";
  auto raw = rawValue();
  return std::string(raw.substr(raw.find('/') + 1));
}

std::string Repo::remotePath() const {
  auto raw = rawValue();
  auto repositoryEnd = raw.find('/', raw.find('/') + 1);
  return std::string(raw.substr(0, repositoryEnd));
}

std::optional<std::string> Repo::subPath() const {
  const char* subPath = entry(*this).subPath;
  if (subPath == nullptr) return std::nullopt;
  return std::string(subPath);
}

std::string Repo::folderName() const {
  const char* folder = entry(*this).folder;
  if (folder != nullptr) return folder;
  return removeAll(name(), "-coreml");
}

std::string Repo::revision() const {
  switch (value_) {
    case quillet25:
      return "a042ef89966d289df295709b58ffdabb50bd2510";
    case diarizer:
      return "df2625ac79a7ac6b65ad868fee6d80f320da4232";
    default:
      return "main";
  }
}

}  // namespace tesselaudio
