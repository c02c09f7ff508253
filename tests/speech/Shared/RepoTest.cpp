#include "speech/Shared/Repo.h"

#include <ostream>
#include <unordered_set>

#include <gtest/gtest.h>

namespace tesselaudio {

void PrintTo(Repo repo, std::ostream* os) { *os << repo.rawValue(); }

namespace {

struct Row {
  Repo repo;
  const char* rawValue;
  const char* name;
  const char* remotePath;
  const char* subPath;  // nullptr: none
  const char* folderName;
  const char* revision;
};

constexpr const char* kMain = "main";

// The whole catalogue in declaration order.
const Row kRows[] = {
    {Repo::cuaS1Forms, "TesselInference/cua-s1-forms-coreml", "cua-s1-forms-coreml",
     "TesselInference/cua-s1-forms-coreml", nullptr, "cua-s1-forms", kMain},
    {Repo::vad, "TesselInference/silero-vad-coreml", "silero-vad-coreml",
     "TesselInference/silero-vad-coreml", nullptr, "silero-vad", kMain},
    {Repo::localVqe, "TesselInference/localvqe-coreml", "localvqe-coreml",
     "TesselInference/localvqe-coreml", nullptr, "localvqe", kMain},
    {Repo::parakeetV3, "TesselInference/parakeet-tdt-0.6b-v3-coreml", "parakeet-tdt-0.6b-v3-coreml",
     "TesselInference/parakeet-tdt-0.6b-v3-coreml", nullptr, "parakeet-tdt-0.6b-v3", kMain},
    {Repo::parakeetRedux, "TesselInference/parakeet-redux-coreml", "parakeet-redux-coreml",
     "TesselInference/parakeet-redux-coreml", nullptr, "parakeet-redux", kMain},
    {Repo::parakeetUltra, "TesselInference/parakeet-ultra-coreml", "parakeet-ultra-coreml",
     "TesselInference/parakeet-ultra-coreml", nullptr, "parakeet-ultra", kMain},
    {Repo::quillet2, "TesselInference/quillet-2-coreml", "quillet-2-coreml",
     "TesselInference/quillet-2-coreml", nullptr, "quillet-2", kMain},
    {Repo::quillet25, "Brindle-HQ/quillet-2.5-coreml", "quillet-2.5-coreml",
     "Brindle-HQ/quillet-2.5-coreml", nullptr, "quillet-2.5",
     "a042ef89966d289df295709b58ffdabb50bd2510"},
    {Repo::thistle3, "TesselInference/thistle-3.0-coreml/thistle-3.0", "thistle-3.0-coreml",
     "TesselInference/thistle-3.0-coreml", "thistle-3.0", "thistle-3.0", kMain},
    {Repo::thistle3Clean, "TesselInference/thistle-3.0-coreml/thistle-3.0-clean",
     "thistle-3.0-coreml", "TesselInference/thistle-3.0-coreml", "thistle-3.0-clean",
     "thistle-3.0-clean", kMain},
    {Repo::parakeetV2, "TesselInference/parakeet-tdt-0.6b-v2-coreml", "parakeet-tdt-0.6b-v2-coreml",
     "TesselInference/parakeet-tdt-0.6b-v2-coreml", nullptr, "parakeet-tdt-0.6b-v2", kMain},
    {Repo::parakeetCtc110m, "TesselInference/parakeet-ctc-110m-coreml", "parakeet-ctc-110m-coreml",
     "TesselInference/parakeet-ctc-110m-coreml", nullptr, "parakeet-ctc-110m-coreml", kMain},
    {Repo::parakeetCtc06b, "TesselInference/parakeet-ctc-0.6b-coreml", "parakeet-ctc-0.6b-coreml",
     "TesselInference/parakeet-ctc-0.6b-coreml", nullptr, "parakeet-ctc-0.6b-coreml", kMain},
    {Repo::senseVoiceSmall, "TesselInference/sensevoice-small-coreml", "sensevoice-small-coreml",
     "TesselInference/sensevoice-small-coreml", nullptr, "sensevoice-small", kMain},
    {Repo::nemotron35TranscribeLite, "TesselInference/nemotron-3.5-transcribe-lite-coreml",
     "nemotron-3.5-transcribe-lite-coreml", "TesselInference/nemotron-3.5-transcribe-lite-coreml",
     nullptr, "nemotron-3.5-transcribe-lite", kMain},
    {Repo::lfm3Audio, "TesselInference/lfm3-audio-2b-coreml", "lfm3-audio-2b-coreml",
     "TesselInference/lfm3-audio-2b-coreml", nullptr, "lfm3-audio-2b", kMain},
    {Repo::lfm3AudioCoreAI, "TesselInference/lfm3-audio-2b-coreai", "lfm3-audio-2b-coreai",
     "TesselInference/lfm3-audio-2b-coreai", nullptr, "lfm3-audio-2b-coreai", kMain},
    {Repo::campPlus, "TesselInference/campplus-coreml", "campplus-coreml",
     "TesselInference/campplus-coreml", nullptr, "campplus", kMain},
    {Repo::fsmnVad, "TesselInference/fsmn-vad-coreml", "fsmn-vad-coreml",
     "TesselInference/fsmn-vad-coreml", nullptr, "fsmn-vad", kMain},
    {Repo::paraformerLargeZh, "TesselInference/paraformer-large-zh-coreml",
     "paraformer-large-zh-coreml", "TesselInference/paraformer-large-zh-coreml", nullptr,
     "paraformer-large-zh", kMain},
    {Repo::parakeetJa, "TesselInference/parakeet-0.6b-ja-coreml", "parakeet-0.6b-ja-coreml",
     "TesselInference/parakeet-0.6b-ja-coreml", nullptr, "parakeet-ja", kMain},
    {Repo::parakeetEou160, "TesselInference/parakeet-realtime-eou-120m-coreml/160ms",
     "parakeet-realtime-eou-120m-coreml/160ms", "TesselInference/parakeet-realtime-eou-120m-coreml",
     "160ms", "parakeet-eou-streaming/160ms", kMain},
    {Repo::parakeetEou320, "TesselInference/parakeet-realtime-eou-120m-coreml/320ms",
     "parakeet-realtime-eou-120m-coreml/320ms", "TesselInference/parakeet-realtime-eou-120m-coreml",
     "320ms", "parakeet-eou-streaming/320ms", kMain},
    {Repo::parakeetEou1280, "TesselInference/parakeet-realtime-eou-120m-coreml/1280ms",
     "parakeet-realtime-eou-120m-coreml/1280ms",
     "TesselInference/parakeet-realtime-eou-120m-coreml", "1280ms", "parakeet-eou-streaming/1280ms",
     kMain},
    {Repo::nemotronStreaming2240, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/2240ms",
     "nemotron-speech-streaming-en-0.6b-coreml/2240ms",
     "TesselInference/nemotron-speech-streaming-en-0.6b-coreml", "nemotron_coreml_2240ms",
     "nemotron-streaming/2240ms", kMain},
    {Repo::nemotronStreaming1120, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/1120ms",
     "nemotron-speech-streaming-en-0.6b-coreml/1120ms",
     "TesselInference/nemotron-speech-streaming-en-0.6b-coreml", "nemotron_coreml_1120ms",
     "nemotron-streaming/1120ms", kMain},
    {Repo::nemotronStreaming560, "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/560ms",
     "nemotron-speech-streaming-en-0.6b-coreml/560ms",
     "TesselInference/nemotron-speech-streaming-en-0.6b-coreml", "nemotron_coreml_560ms",
     "nemotron-streaming/560ms", kMain},
    {Repo::parakeetUnified, "TesselInference/parakeet-unified-en-0.6b-coreml",
     "parakeet-unified-en-0.6b-coreml", "TesselInference/parakeet-unified-en-0.6b-coreml", nullptr,
     "parakeet-unified-en-0.6b", kMain},
    {Repo::nemotronUnified, "TesselInference/nemotron-labs-unified-asr-0.6b-coreml/coreml",
     "nemotron-labs-unified-asr-0.6b-coreml/coreml",
     "TesselInference/nemotron-labs-unified-asr-0.6b-coreml", "coreml",
     "nemotron-labs-unified-asr/coreml", kMain},
    {Repo::nemotronMultilingual,
     "TesselInference/Nemotron-3.5-ASR-Streaming-Multilingual-0.6b-CoreML",
     "Nemotron-3.5-ASR-Streaming-Multilingual-0.6b-CoreML",
     "TesselInference/Nemotron-3.5-ASR-Streaming-Multilingual-0.6b-CoreML", nullptr,
     "nemotron-multilingual", kMain},
    {Repo::diarizer, "TesselInference/speaker-diarization-coreml", "speaker-diarization-coreml",
     "TesselInference/speaker-diarization-coreml", nullptr, "speaker-diarization",
     "df2625ac79a7ac6b65ad868fee6d80f320da4232"},
    {Repo::kokoro, "TesselInference/kokoro-82m-coreml", "kokoro-82m-coreml",
     "TesselInference/kokoro-82m-coreml", nullptr, "kokoro", kMain},
    {Repo::kokoroAne, "TesselInference/kokoro-82m-coreml/ANE", "kokoro-82m-coreml/ANE",
     "TesselInference/kokoro-82m-coreml", "ANE", "kokoro-82m-coreml/ANE", kMain},
    {Repo::kokoroAneZh, "TesselInference/kokoro-82m-coreml/ANE-zh", "kokoro-82m-coreml/ANE-zh",
     "TesselInference/kokoro-82m-coreml", "ANE-zh", "kokoro-82m-coreml/ANE-zh", kMain},
    {Repo::kokoroAneJa, "TesselInference/kokoro-82m-coreml/ANE-ja", "kokoro-82m-coreml/ANE-ja",
     "TesselInference/kokoro-82m-coreml", "ANE-ja", "kokoro-82m-coreml/ANE-ja", kMain},
    {Repo::sortformer, "TesselInference/diar-streaming-sortformer-coreml",
     "diar-streaming-sortformer-coreml", "TesselInference/diar-streaming-sortformer-coreml", nullptr,
     "sortformer", kMain},
    {Repo::nemotron3Diarization, "TesselInference/nemotron-3-diarization-coreml",
     "nemotron-3-diarization-coreml", "TesselInference/nemotron-3-diarization-coreml", nullptr,
     "nemotron-3-diarization", kMain},
    {Repo::lseendAmi, "TesselInference/ls-eend-coreml/optimized/ami",
     "ls-eend-coreml/optimized/ami", "TesselInference/ls-eend-coreml", "optimized/ami",
     "ls-eend/ami", kMain},
    {Repo::lseendCallHome, "TesselInference/ls-eend-coreml/optimized/ch",
     "ls-eend-coreml/optimized/ch", "TesselInference/ls-eend-coreml", "optimized/ch", "ls-eend/ch",
     kMain},
    {Repo::lseendDihard2, "TesselInference/ls-eend-coreml/optimized/dih2",
     "ls-eend-coreml/optimized/dih2", "TesselInference/ls-eend-coreml", "optimized/dih2",
     "ls-eend/dih2", kMain},
    {Repo::lseendDihard3, "TesselInference/ls-eend-coreml/optimized/dih3",
     "ls-eend-coreml/optimized/dih3", "TesselInference/ls-eend-coreml", "optimized/dih3",
     "ls-eend/dih3", kMain},
    {Repo::pocketTts, "TesselInference/pocket-tts-coreml", "pocket-tts-coreml",
     "TesselInference/pocket-tts-coreml", nullptr, "pocket-tts", kMain},
    {Repo::multilingualG2p, "TesselInference/charsiu-g2p-byt5-coreml", "charsiu-g2p-byt5-coreml",
     "TesselInference/charsiu-g2p-byt5-coreml", nullptr, "charsiu-g2p-byt5", kMain},
    {Repo::parakeetTdtCtc110m, "TesselInference/parakeet-tdt-ctc-110m-coreml",
     "parakeet-tdt-ctc-110m-coreml", "TesselInference/parakeet-tdt-ctc-110m-coreml", nullptr,
     "parakeet-tdt-ctc-110m", kMain},
    {Repo::cohereTranscribeCoreml, "TesselInference/cohere-transcribe-03-2026-coreml/q8",
     "cohere-transcribe-03-2026-coreml/q8", "TesselInference/cohere-transcribe-03-2026-coreml",
     "q8", "cohere-transcribe/q8", kMain},
    {Repo::canary1bV2, "TesselInference/canary-1b-v2-coreml", "canary-1b-v2-coreml",
     "TesselInference/canary-1b-v2-coreml", nullptr, "canary-1b-v2", kMain},
    {Repo::styletts2, "TesselInference/StyleTTS-2-coreml/iteration_3/compiled",
     "StyleTTS-2-coreml/iteration_3/compiled", "TesselInference/StyleTTS-2-coreml",
     "iteration_3/compiled", "styletts2", kMain},
    {Repo::supertonic3, "TesselInference/supertonic-3-coreml", "supertonic-3-coreml",
     "TesselInference/supertonic-3-coreml", nullptr, "supertonic-3", kMain},
    {Repo::neuTts, "TesselInference/neutts-2e-coreml", "neutts-2e-coreml",
     "TesselInference/neutts-2e-coreml", nullptr, "neutts-2e", kMain},
    {Repo::luxtts, "TesselInference/luxtts-coreml", "luxtts-coreml", "TesselInference/luxtts-coreml",
     nullptr, "luxtts", kMain},
    {Repo::inflectMicro, "TesselInference/inflect-v2-coreml/micro", "inflect-v2-coreml/micro",
     "TesselInference/inflect-v2-coreml", "micro", "inflect-v2-coreml/micro", kMain},
    {Repo::inflectNano, "TesselInference/inflect-v2-coreml/nano", "inflect-v2-coreml/nano",
     "TesselInference/inflect-v2-coreml", "nano", "inflect-v2-coreml/nano", kMain},
    {Repo::paradeeInt8, "TesselInference/paradee-8m-coreml/int8", "paradee-8m-coreml/int8",
     "TesselInference/paradee-8m-coreml", "int8", "paradee-8m-coreml/int8", kMain},
    {Repo::paradeeFp32, "TesselInference/paradee-8m-coreml/fp32", "paradee-8m-coreml/fp32",
     "TesselInference/paradee-8m-coreml", "fp32", "paradee-8m-coreml/fp32", kMain},
    {Repo::paradeeV12Int8, "TesselInference/paradee-8m-coreml/v1.2/int8",
     "paradee-8m-coreml/v1.2/int8", "TesselInference/paradee-8m-coreml", "v1.2/int8",
     "paradee-8m-coreml/v1.2/int8", kMain},
    {Repo::paradeeV12Fp32, "TesselInference/paradee-8m-coreml/v1.2/fp32",
     "paradee-8m-coreml/v1.2/fp32", "TesselInference/paradee-8m-coreml", "v1.2/fp32",
     "paradee-8m-coreml/v1.2/fp32", kMain},
    {Repo::chatterbox, "TesselInference/chatterbox-multilingual-coreml",
     "chatterbox-multilingual-coreml", "TesselInference/chatterbox-multilingual-coreml", nullptr,
     "chatterbox-multilingual", kMain},
    {Repo::chatterboxNano, "TesselInference/chatterbox-nano-coreml", "chatterbox-nano-coreml",
     "TesselInference/chatterbox-nano-coreml", nullptr, "chatterbox-nano", kMain},
};

TEST(RepoTest, EveryCaseMatchesTheCatalogueInDeclarationOrder) {
  auto all = Repo::allCases();
  ASSERT_EQ(all.size(), std::size(kRows));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Row& row = kRows[i];
    SCOPED_TRACE(row.rawValue);
    EXPECT_EQ(all[i], row.repo);
    EXPECT_EQ(row.repo.rawValue(), row.rawValue);
    EXPECT_EQ(row.repo.name(), row.name);
    EXPECT_EQ(row.repo.remotePath(), row.remotePath);
    if (row.subPath == nullptr) {
      EXPECT_EQ(row.repo.subPath(), std::nullopt);
    } else {
      EXPECT_EQ(row.repo.subPath(), row.subPath);
    }
    EXPECT_EQ(row.repo.folderName(), row.folderName);
    EXPECT_EQ(row.repo.revision(), row.revision);
    EXPECT_EQ(Repo::fromRawValue(row.rawValue), row.repo);
  }
  std::unordered_set<Repo> distinct(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), all.size());
}

TEST(RepoTest, FromRawValueMatchesTheWholeTextExactly) {
  struct Case {
    const char* name;
    const char* text;
    std::optional<Repo> expected;
  };
  const Case cases[] = {
      {"exact", "TesselInference/silero-vad-coreml", Repo::vad},
      {"lowerCase", "tesselinference/silero-vad-coreml", std::nullopt},
      {"trailingSlash", "TesselInference/silero-vad-coreml/", std::nullopt},
      {"leadingBlank", " TesselInference/silero-vad-coreml", std::nullopt},
      {"wrongOrganisation", "TesselInference/quillet-2.5-coreml", std::nullopt},
      {"rightOrganisation", "Brindle-HQ/quillet-2.5-coreml", Repo::quillet25},
      {"remotePathOfFolderCase", "TesselInference/thistle-3.0-coreml", std::nullopt},
      {"hubFolderInsteadOfRawValue",
       "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/nemotron_coreml_560ms",
       std::nullopt},
      {"rawValueOfStreamingCase", "TesselInference/nemotron-speech-streaming-en-0.6b-coreml/560ms",
       Repo::nemotronStreaming560},
      {"parentOfFolderCases", "TesselInference/ls-eend-coreml/optimized", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Repo::fromRawValue(c.text), c.expected);
  }
}

}  // namespace
}  // namespace tesselaudio
