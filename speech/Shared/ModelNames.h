#pragma once

// The file names of every model the library runs, one namespace per engine family, and the sets of
// files a repository must hold before its engine can load.
//
// Names are relative paths inside a repository's local folder (Repo::folderName) and, on the hub,
// inside its sub-path (Repo::subPath); a "/" means a sub-folder. "*.mlmodelc" is a compiled model
// (a folder), "*.mlpackage" an uncompiled model package, "*.aimodel" a Core AI bundle folder and
// "constants_bin" a folder of constant tables; every other name is a plain file.
//
// Everything here is an immutable value or a pure function (LuxTts reads the environment on each
// call); fixed sets are built once on first use. Safe from any thread.
//
//   auto required = ModelNames::getRequiredModelNames(Repo::canary1bV2, "int8");
//   ModelNames::Sortformer::Variant variant = ModelNames::Sortformer::Variant::balancedV2_1;
//   auto file = variant.fileName();  // "v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "speech/ASR/Canary/CanaryPrecision.h"
#include "speech/ASR/Parakeet/Unified/UnifiedEncoderPrecision.h"
#include "speech/Enhancement/LocalVQE/LocalVqeChunk.h"
#include "speech/Enhancement/LocalVQE/LocalVqeVariant.h"
#include "speech/Shared/ParakeetEncoderPrecision.h"
#include "speech/Shared/Repo.h"
#include "speech/TTS/ChatterboxNanoOutputCapacity.h"
#include "speech/TTS/PocketTtsModelPlacement.h"
#include "speech/TTS/PocketTtsPrecision.h"

namespace tesselaudio {

struct SortformerConfig;

namespace ModelNames {

// An unordered collection of file names without duplicates (kept sorted for stable listings).
using NameSet = std::set<std::string>;

// The files that `repo` needs in the model cache, chosen by the optional variant where the
// repository has variants (exact, case-sensitive words; anything unknown takes the repository's
// fallback). Returns a fresh set that the caller may extend.
NameSet getRequiredModelNames(Repo repo, std::optional<std::string_view> variant = std::nullopt);

// Parakeet TDT recognisers: parakeetV3, parakeetV2, the v3-layout repositories and
// parakeetTdtCtc110m.
namespace ASR {
inline constexpr std::string_view jointV3File = "JointDecisionv3.mlmodelc";
inline constexpr std::string_view vocabularyFile = "parakeet_vocab.json";
inline constexpr std::string_view encoderV2File = "Encoder_v2.mlmodelc";
inline constexpr std::string_view encoderInt4File = "EncoderInt4.mlmodelc";
inline constexpr std::string_view preprocessor = "Preprocessor";
inline constexpr std::string_view preprocessorFile = "Preprocessor.mlmodelc";
inline constexpr std::string_view encoder = "Encoder";
inline constexpr std::string_view encoderFile = "Encoder.mlmodelc";
inline constexpr std::string_view decoder = "Decoder";
inline constexpr std::string_view decoderFile = "Decoder.mlmodelc";
inline constexpr std::string_view joint = "JointDecision";
inline constexpr std::string_view jointFile = "JointDecision.mlmodelc";
inline constexpr std::string_view ctcHead = "CtcHead";
inline constexpr std::string_view ctcHeadFile = "CtcHead.mlmodelc";

const NameSet& requiredModels();
const NameSet& requiredModelsFused();
// Preprocessor, the precision's encoder, decoder and the v3 joint.
NameSet requiredModelsV3(ParakeetEncoderPrecision precision);
// The vocabulary file of a Parakeet repository: "parakeet_vocab.json" for every repository.
std::string vocabulary(Repo repo);
}  // namespace ASR

// The Japanese Parakeet TDT recogniser (parakeetJa).
namespace TDTJa {
inline constexpr std::string_view vocabularyFile = "vocab.json";
inline constexpr std::string_view preprocessor = "Preprocessor";
inline constexpr std::string_view preprocessorFile = "Preprocessor.mlmodelc";
inline constexpr std::string_view encoder = "Encoder";
inline constexpr std::string_view encoderFile = "Encoder.mlmodelc";
inline constexpr std::string_view decoder = "Decoderv2";
inline constexpr std::string_view decoderFile = "Decoderv2.mlmodelc";
inline constexpr std::string_view joint = "Jointerv2";
inline constexpr std::string_view jointFile = "Jointerv2.mlmodelc";

const NameSet& requiredModels();
}  // namespace TDTJa

// Parakeet CTC models (parakeetCtc110m, parakeetCtc06b).
namespace CTC {
inline constexpr std::string_view vocabularyPath = "vocab.json";
inline constexpr std::string_view melSpectrogram = "MelSpectrogram";
inline constexpr std::string_view melSpectrogramPath = "MelSpectrogram.mlmodelc";
inline constexpr std::string_view audioEncoder = "AudioEncoder";
inline constexpr std::string_view audioEncoderPath = "AudioEncoder.mlmodelc";

const NameSet& requiredModels();
}  // namespace CTC

// The streaming end-of-utterance Parakeet recogniser (parakeetEou160, 320, 1280).
namespace ParakeetEOU {
inline constexpr std::string_view encoder = "streaming_encoder";
inline constexpr std::string_view encoderFile = "streaming_encoder.mlmodelc";
inline constexpr std::string_view decoder = "decoder";
inline constexpr std::string_view decoderFile = "decoder.mlmodelc";
inline constexpr std::string_view joint = "joint_decision";
inline constexpr std::string_view jointFile = "joint_decision.mlmodelc";
inline constexpr std::string_view vocab = "vocab.json";

const NameSet& requiredModels();
}  // namespace ParakeetEOU

// The English streaming Nemotron recogniser (nemotronStreaming2240, 1120, 560).
namespace NemotronStreaming {
inline constexpr std::string_view metadata = "metadata.json";
inline constexpr std::string_view decoderJointFile = "decoder_joint.mlmodelc";
inline constexpr std::string_view tokenizer = "tokenizer.json";
inline constexpr std::string_view preprocessor = "preprocessor";
inline constexpr std::string_view preprocessorFile = "preprocessor.mlmodelc";
inline constexpr std::string_view encoder = "encoder";
inline constexpr std::string_view encoderFile = "encoder.mlmodelc";
inline constexpr std::string_view decoder = "decoder";
inline constexpr std::string_view decoderFile = "decoder.mlmodelc";
inline constexpr std::string_view joint = "joint";
inline constexpr std::string_view jointFile = "joint.mlmodelc";
inline constexpr std::string_view encoderInt8File = "encoder/encoder_int8.mlmodelc";

const NameSet& requiredModels();
}  // namespace NemotronStreaming

// The multilingual streaming Nemotron recogniser (nemotronMultilingual): compiled models and their
// uncompiled packages.
namespace NemotronMultilingualStreaming {
inline constexpr std::string_view metadata = "metadata.json";
inline constexpr std::string_view encoderPackage = "encoder.mlpackage";
inline constexpr std::string_view decoderPackage = "decoder.mlpackage";
inline constexpr std::string_view jointPackage = "joint.mlpackage";
inline constexpr std::string_view tokenizer = "tokenizer.json";
inline constexpr std::string_view preprocessor = "preprocessor";
inline constexpr std::string_view preprocessorFile = "preprocessor.mlmodelc";
inline constexpr std::string_view encoder = "encoder";
inline constexpr std::string_view encoderFile = "encoder.mlmodelc";
inline constexpr std::string_view decoder = "decoder";
inline constexpr std::string_view decoderFile = "decoder.mlmodelc";
inline constexpr std::string_view joint = "joint";
inline constexpr std::string_view jointFile = "joint.mlmodelc";
inline constexpr std::string_view preprocessorPackage = "preprocessor.mlpackage";
}  // namespace NemotronMultilingualStreaming

// The unified English Parakeet recogniser (parakeetUnified).
namespace ParakeetUnified {
inline constexpr std::string_view streamingEncoderInt8File =
    "parakeet_unified_encoder_streaming_70_13_13_int8.mlmodelc";
inline constexpr std::string_view streamingEncoderFp16File =
    "parakeet_unified_encoder_streaming_70_13_13.mlmodelc";
inline constexpr std::string_view offlineEncoderInt8File = "parakeet_unified_encoder_int8.mlmodelc";
inline constexpr std::string_view offlineEncoderFp16File = "parakeet_unified_encoder.mlmodelc";
inline constexpr std::string_view decoderFile = "parakeet_unified_decoder.mlmodelc";
inline constexpr std::string_view jointDecisionFile =
    "parakeet_unified_joint_decision_single_step.mlmodelc";
inline constexpr std::string_view vocab = "vocab.json";
inline constexpr std::string_view metadata = "metadata.json";

// "parakeet_unified_encoder_streaming_" + contextSuffix, then "_int8" for int8, then ".mlmodelc".
std::string streamingEncoderFile(UnifiedEncoderPrecision precision, std::string_view contextSuffix);
std::string offlineEncoderFile(UnifiedEncoderPrecision precision);
// Decoder, joint, vocabulary and metadata; a variant beginning with "offline" adds the offline
// encoder, fp16 when it ends with "fp16", else int8. Streaming encoders are never listed.
NameSet requiredModels(std::optional<std::string_view> variant);
}  // namespace ParakeetUnified

// The unified multilingual Nemotron recogniser (nemotronUnified).
namespace NemotronUnified {
// As ParakeetUnified::requiredModels, with the "nemotron_unified" files.
NameSet requiredModels(std::optional<std::string_view> variant);
}  // namespace NemotronUnified

// The Nemotron transcription model (nemotron35TranscribeLite).
namespace NemotronTranscribeLite {
inline constexpr std::string_view encoderFile = "coreml/lite_encoder_w48.mlmodelc";
inline constexpr std::string_view ctcHeadFile = "coreml/lite_ctc_head_w48.mlmodelc";
inline constexpr std::string_view vocabularyFile = "assets/vocab.json";
inline constexpr std::string_view melWindowFile = "assets/mel_window.bin";
inline constexpr std::string_view melFilterbankFile = "assets/mel_filterbank.bin";
inline constexpr std::string_view encoder = "lite_encoder_w48";
inline constexpr std::string_view ctcHead = "lite_ctc_head_w48";

const NameSet& requiredModels();
}  // namespace NemotronTranscribeLite

// The SenseVoice recogniser (senseVoiceSmall).
namespace SenseVoice {
inline constexpr std::string_view encoder = "SenseVoiceSmall";
inline constexpr std::string_view encoderFile = "SenseVoiceSmall.mlmodelc";
inline constexpr std::string_view encoderInt8 = "SenseVoiceSmall_int8";
inline constexpr std::string_view encoderInt8File = "SenseVoiceSmall_int8.mlmodelc";
inline constexpr std::string_view encoderFp32 = "SenseVoiceSmall_fp32";
inline constexpr std::string_view encoderFp32File = "SenseVoiceSmall_fp32.mlmodelc";
inline constexpr std::string_view vocabularyFile = "vocab.json";
inline constexpr std::string_view preprocessor = "SenseVoicePreprocessor";
inline constexpr std::string_view preprocessorFile = "SenseVoicePreprocessor.mlmodelc";

const NameSet& requiredModels();
// The preprocessor and the encoder of the precision word "int8" or "fp32"; anything else or none
// gives the default encoder.
NameSet requiredModels(std::optional<std::string_view> precision);
}  // namespace SenseVoice

// The Chinese Paraformer recogniser (paraformerLargeZh).
namespace ParaformerZh {
inline constexpr std::string_view encoderInt8 = "ParaformerEncoder_int8";
inline constexpr std::string_view encoderInt8File = "ParaformerEncoder_int8.mlmodelc";
inline constexpr std::string_view encoder = "ParaformerEncoder";
inline constexpr std::string_view encoderFile = "ParaformerEncoder.mlmodelc";
inline constexpr std::string_view decoderInt8 = "ParaformerDecoder_int8";
inline constexpr std::string_view decoderInt8File = "ParaformerDecoder_int8.mlmodelc";
inline constexpr std::string_view decoder = "ParaformerDecoder";
inline constexpr std::string_view decoderFile = "ParaformerDecoder.mlmodelc";
inline constexpr std::string_view vocabularyFile = "vocab.json";
inline constexpr std::string_view preprocessor = "ParaformerPreprocessor";
inline constexpr std::string_view preprocessorFile = "ParaformerPreprocessor.mlmodelc";
inline constexpr std::string_view cifAlphas = "ParaformerCifAlphas";
inline constexpr std::string_view cifAlphasFile = "ParaformerCifAlphas.mlmodelc";

const NameSet& requiredModels();
}  // namespace ParaformerZh

// The Canary recogniser (canary1bV2); encoder and decoder names take ".mlmodelc" when listed.
namespace Canary {
inline constexpr std::string_view encoderInt4 = "EncoderInt4";
inline constexpr std::string_view encoder = "Encoder";
inline constexpr std::string_view encoderInt8 = "EncoderInt8";
inline constexpr std::string_view decoderInt4 = "DecoderInt4";
inline constexpr std::string_view decoder = "Decoder";
inline constexpr std::string_view decoderInt8 = "DecoderInt8";
inline constexpr std::string_view preprocessor = "Preprocessor";
inline constexpr std::string_view preprocessorFile = "Preprocessor.mlmodelc";
inline constexpr std::string_view projection = "Projection";
inline constexpr std::string_view projectionFile = "Projection.mlmodelc";
inline constexpr std::string_view vocabularyFile = "vocab.json";

NameSet requiredModels(CanaryPrecision precision);
}  // namespace Canary

// The Cohere Transcribe recogniser (cohereTranscribeCoreml): three generations of the decoder.
namespace CohereTranscribe {
inline constexpr std::string_view decoderCacheExternalV3CompiledFile =
    "cohere_decoder_cache_external_v3.mlmodelc";
inline constexpr std::string_view decoderCacheExternalV2CompiledFile =
    "cohere_decoder_cache_external_v2.mlmodelc";
inline constexpr std::string_view decoderCacheExternalCompiledFile =
    "cohere_decoder_cache_external.mlmodelc";
inline constexpr std::string_view encoderCompiledFile = "cohere_encoder.mlmodelc";
inline constexpr std::string_view encoder = "cohere_encoder";
inline constexpr std::string_view decoderCacheExternal = "cohere_decoder_cache_external";
inline constexpr std::string_view decoderCacheExternalV2 = "cohere_decoder_cache_external_v2";
inline constexpr std::string_view decoderCacheExternalV3 = "cohere_decoder_cache_external_v3";
inline constexpr std::string_view vocab = "vocab.json";

const NameSet& requiredModels();
const NameSet& requiredModelsV2();
const NameSet& requiredModelsLegacy();
}  // namespace CohereTranscribe

// The LFM3 audio models (lfm3Audio with Core ML models, lfm3AudioCoreAI with Core AI bundles).
namespace LFM3Audio {
inline constexpr std::string_view packConfigFile = "assets/config.json";
inline constexpr std::string_view embeddingFile = "assets/embed_tokens.f16.bin";
inline constexpr std::string_view tokenizerFile = "assets/tokenizer.json";
inline constexpr std::string_view coreAILanguageModel = "LFM3-Audio-u8b32-f16L20-23";
inline constexpr std::string_view coreAIDepthDecoder = "DepthDecoder-fp16-gpu";
inline constexpr std::string_view encoder = "AudioEncoder-fp16";
inline constexpr std::string_view head = "LFM3-Head-int8b32";
inline constexpr std::string_view depthDecoder = "DepthDecoder-fp16";
inline constexpr std::string_view codec = "CodecDecoder-fp16";
inline constexpr std::string_view codebookFile = "assets/codebook_embedding.f16.bin";
inline constexpr std::string_view depthTablesFile = "assets/depth_tables.f16.bin";
inline constexpr std::string_view codecHeadFile = "assets/codec_head.f32.bin";
inline constexpr std::array<std::string_view, 2> backboneStages = {"LFM3-A-C4160-int8b32",
                                                                   "LFM3-B-C4160-int8b32"};

// "coreml/" + name + ".mlmodelc".
std::string compiledModelFile(std::string_view name);
// "coreai/" + name + ".aimodel": the bundle folder.
std::string coreAIBundleFile(std::string_view name);
// The three files of a bundle: main.mlirb, main.hash and metadata.json, in that order.
std::vector<std::string> coreAIBundleFiles(std::string_view name);

const NameSet& languageModels();
const NameSet& sharedRecognitionModels();
const NameSet& recognitionModels();
const NameSet& speechCodecModels();
const NameSet& speechModels();
const NameSet& requiredModels();
// "recognition", "coreai" or "coreai-recognition"; anything else or none gives requiredModels().
NameSet requiredModels(std::optional<std::string_view> variant);
const NameSet& coreAIRequiredModels();
// "recognition" gives the language-model bundle only; anything else or none the fixed set.
NameSet coreAIRequiredModels(std::optional<std::string_view> variant);
}  // namespace LFM3Audio

// The segmentation-and-embedding diarizer (diarizer, online mode).
namespace Diarizer {
inline constexpr std::string_view segmentation = "pyannote_segmentation";
inline constexpr std::string_view segmentationFile = "pyannote_segmentation.mlmodelc";
inline constexpr std::string_view embedding = "wespeaker_v2";
inline constexpr std::string_view embeddingFile = "wespeaker_v2.mlmodelc";

const NameSet& requiredModels();
}  // namespace Diarizer

// The offline diarization pipeline (diarizer, variant "offline").
namespace OfflineDiarizer {
inline constexpr std::string_view segmentation = "Segmentation";
inline constexpr std::string_view segmentationPath = "Segmentation.mlmodelc";
inline constexpr std::string_view segmentationFile = "Segmentation.mlmodelc";
inline constexpr std::string_view fbank = "FBank";
inline constexpr std::string_view fbankPath = "FBank.mlmodelc";
inline constexpr std::string_view fbankFile = "FBank.mlmodelc";
inline constexpr std::string_view embedding = "Embedding";
inline constexpr std::string_view embeddingPath = "Embedding.mlmodelc";
inline constexpr std::string_view embeddingFile = "Embedding.mlmodelc";
inline constexpr std::string_view pldaRho = "PldaRho";
inline constexpr std::string_view pldaRhoPath = "PldaRho.mlmodelc";
inline constexpr std::string_view pldaRhoFile = "PldaRho.mlmodelc";
inline constexpr std::string_view pldaParameters = "plda-parameters.json";

const NameSet& requiredModels();
}  // namespace OfflineDiarizer

// The CAM++ speaker embedder (campPlus).
namespace CampPlus {
inline constexpr std::string_view preprocessor = "CamPlusPreprocessor_v2";
inline constexpr std::string_view preprocessorFile = "CamPlusPreprocessor_v2.mlmodelc";
inline constexpr std::string_view model = "CamPlusPlus_v2";
inline constexpr std::string_view modelFile = "CamPlusPlus_v2.mlmodelc";

const NameSet& requiredModels();
}  // namespace CampPlus

// The streaming Sortformer diarizer (sortformer): models by variant and weight precision.
namespace Sortformer {

// The weight precision of a Sortformer model file, which chooses its folder.
// A plain value, compared by case; safe from any thread.
class ModelPrecision {
 public:
  enum class Case : std::uint8_t { fp16, palettized };
  using enum Case;

  constexpr ModelPrecision(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case whose raw value is exactly `rawValue` ("fp16", "palettized"), or none.
  static std::optional<ModelPrecision> fromRawValue(std::string_view rawValue);
  // Both cases in order. The span refers to static storage.
  static std::span<const ModelPrecision> allCases();

  std::string_view rawValue() const;
  // "v3/fp16" or "v3/palettized".
  std::string_view subdirectory() const;

 private:
  Case value_;
};

// A published streaming Sortformer model, each with the configuration preset of the same name.
// A plain value, compared by case; safe from any thread.
class Variant {
 public:
  enum class Case : std::uint8_t {
    fastV2,
    fastV2_1,
    balancedV2,
    balancedV2_1,
    highContextV2,
    highContextV2_1,
    efficientV2_1,
  };
  using enum Case;

  constexpr Variant(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The seven cases in order. The span refers to static storage.
  static std::span<const Variant> allCases();

  // The model name: "Sortformer_v2", "SortformerNvidiaLow_v2.1", ...
  std::string_view name() const;

  // The precision's folder + "/" + name() + ".mlmodelc".
  std::string fileName(ModelPrecision precision = ModelPrecision::fp16) const;

  // A copy of the SortformerConfig preset of the same name.
  SortformerConfig defaultConfiguration() const;

  // True when `config` matches this variant's preset in chunk span times subsampling, FIFO length
  // and speaker-cache length; how the span splits into core and context does not matter.
  bool isCompatible(const SortformerConfig& config) const;

 private:
  Case value_;
};

inline constexpr std::string_view modelsSubdirectory = "v3/fp16";
inline constexpr Variant defaultVariant = Variant::fastV2_1;
inline constexpr std::string_view defaultBundle = "v3/fp16/Sortformer_v2.1.mlmodelc";
inline constexpr std::string_view offlineModelName = "SortformerOffline_v2.1";

// The variant's fp16 file.
std::string bundle(Variant variant);
std::string bundle(Variant variant, ModelPrecision precision);
// The model file of a configuration at its precision; none when it names no variant.
std::optional<std::string> bundle(const SortformerConfig& config);
// The precision's folder + "/SortformerOffline_v2.1.mlmodelc".
std::string offlineBundle(ModelPrecision precision);
// The fp16 file of every variant.
NameSet requiredModels();

}  // namespace Sortformer

// The LS-EEND streaming diarizer: one repository per training set, models by step size.
namespace LSEEND {

// The step size of an LS-EEND model; the raw values count steps of 100 ms (1 to 5).
// A plain value, compared by case; safe from any thread.
class StepSize {
 public:
  enum class Case : std::uint8_t { step100ms, step200ms, step300ms, step400ms, step500ms };
  using enum Case;

  constexpr StepSize(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The case with raw value 1 to 5, or none for any other integer.
  static std::optional<StepSize> fromRawValue(int rawValue);
  // The five cases in order. The span refers to static storage.
  static std::span<const StepSize> allCases();

  int rawValue() const;
  // "100ms" to "500ms".
  std::string description() const;

 private:
  Case value_;
};

// The data set an LS-EEND model was trained on, with its repository.
// A plain value, compared by case; safe from any thread.
class Variant {
 public:
  enum class Case : std::uint8_t { ami, callhome, dihard2, dihard3 };
  using enum Case;

  constexpr Variant(Case value) noexcept : value_(value) {}
  constexpr operator Case() const noexcept { return value_; }

  // The four cases in order. The span refers to static storage.
  static std::span<const Variant> allCases();

  // "ls_eend_" + the word of the data set ("ami", "ch", "dih2", "dih3").
  std::string description() const;
  std::string name() const;
  // description() + "_" + the step's description: "ls_eend_ami_100ms".
  std::string name(StepSize step) const;
  // The step's description + "/" + name(step) + ".mlmodelc".
  std::string fileName(StepSize step) const;
  Repo repo() const;

 private:
  Case value_;
};

inline constexpr Variant defaultVariant = Variant::dihard3;
inline constexpr StepSize defaultStep = StepSize::step100ms;

// The one file of the variant at the step, as a list.
std::vector<std::string> bundle(Variant variant, StepSize step);
// bundle(defaultVariant, defaultStep).
std::vector<std::string> defaultBundle();
// Every variant at every step: 20 files.
NameSet requiredModels();

}  // namespace LSEEND

// The Nemotron 3 diarizer (nemotron3Diarization). The weights-version file is a hidden marker whose
// content the loader compares with weightsVersion.
namespace Nemotron3 {
inline constexpr std::string_view silenceEmbeddingFile = "learnable_sil_emb.bin";
inline constexpr std::string_view preEncodeProjectionFile = "pre_encode_proj_t.bin";
inline constexpr std::string_view weightsVersion = "ga-2026-09-23";
inline constexpr std::string_view weightsVersionFile = ".tesselaudio-nemotron3-weights";

const NameSet& requiredAssets();
}  // namespace Nemotron3

// The Silero voice-activity detector (vad).
namespace VAD {
inline constexpr std::string_view sileroVad = "silero-vad-unified-256ms-v6.2.1";
inline constexpr std::string_view sileroVadFile = "silero-vad-unified-256ms-v6.2.1.mlmodelc";

const NameSet& requiredModels();
}  // namespace VAD

// The FSMN voice-activity detector (fsmnVad).
namespace FsmnVad {
inline constexpr std::string_view preprocessor = "FsmnVadPreprocessor";
inline constexpr std::string_view preprocessorFile = "FsmnVadPreprocessor.mlmodelc";
inline constexpr std::string_view scorer = "FsmnVad";
inline constexpr std::string_view scorerFile = "FsmnVad.mlmodelc";

const NameSet& requiredModels();
}  // namespace FsmnVad

// The LocalVQE echo and noise suppressor (localVqe): one model per variant and chunk length.
namespace LocalVQE {
// The variant's model name + "-" + the chunk word + ".mlmodelc":
// "localvqe-v1.3-4.8M-16ms.mlmodelc".
std::string modelFile(LocalVqeVariant variant, LocalVqeChunk chunk);
// "v1.3" or "v1.2" + "-" + the chunk word: "v1.2-256ms".
std::string variantKey(LocalVqeVariant variant, LocalVqeChunk chunk);
// The file of every variant and chunk.
NameSet allModels();
// The one file whose variant key equals `variant`; no match or none gives allModels().
NameSet requiredModels(std::optional<std::string_view> variant);
}  // namespace LocalVQE

// The option-scoring decision model (cuaS1Forms).
namespace CuaS1Forms {
inline constexpr std::string_view model = "cua_s1_forms_fp16_options32";
inline constexpr std::string_view modelFile = "cua_s1_forms_fp16_options32.mlmodelc";

const NameSet& requiredModels();
}  // namespace CuaS1Forms

// PocketTTS (pocketTts).
namespace PocketTTS {
inline constexpr std::string_view condStep = "cond_step";
inline constexpr std::string_view condStepFile = "cond_step.mlmodelc";
inline constexpr std::string_view condPrefill = "cond_prefill";
inline constexpr std::string_view condPrefillFile = "cond_prefill.mlmodelc";
inline constexpr std::string_view flowlmStep = "flowlm_step";
inline constexpr std::string_view flowlmStepV2 = "flowlm_stepv2";
inline constexpr std::string_view flowlmStepV2File = "flowlm_stepv2.mlmodelc";
inline constexpr std::string_view flowDecoder = "flow_decoder";
inline constexpr std::string_view flowDecoderFile = "flow_decoder.mlmodelc";
inline constexpr std::string_view flowDecoderFused = "flow_decoder_fused";
inline constexpr std::string_view flowDecoderFusedFile = "flow_decoder_fused.mlmodelc";
inline constexpr std::string_view flowlmStepAne = "flowlm_step_ane";
inline constexpr std::string_view flowlmStepAneFile = "flowlm_step_ane.mlmodelc";
inline constexpr std::string_view condPrefillAne = "cond_prefill_ane";
inline constexpr std::string_view condPrefillAneFile = "cond_prefill_ane.mlmodelc";
inline constexpr std::string_view pocketState = "pocket_state";
inline constexpr std::string_view pocketStateFile = "pocket_state.mlmodelc";
inline constexpr std::string_view mimiDecoder = "mimi_decoder";
inline constexpr std::string_view mimiDecoderFile = "mimi_decoder.mlmodelc";
inline constexpr std::string_view mimiEncoder = "mimi_encoderv2";
inline constexpr std::string_view mimiEncoderFile = "mimi_encoderv2.mlmodelc";
inline constexpr std::string_view mimiEncoderV3 = "mimi_encoderv3";
inline constexpr std::string_view mimiEncoderV3File = "mimi_encoderv3.mlmodelc";
inline constexpr std::string_view constantsBinDir = "constants_bin";
inline constexpr std::string_view speakerProjWeightFile = "speaker_proj_weight.bin";
inline constexpr std::string_view encoderRecoverPinvFile = "encoder_recover_pinv.bin";

// The functions inside the stateful model.
namespace StateFunction {
inline constexpr std::string_view writeState = "write_state";
inline constexpr std::string_view prefill = "prefill";
inline constexpr std::string_view generate = "generate";
inline constexpr std::string_view decode = "decode";
inline constexpr std::string_view generateDecode = "generate_decode";
}  // namespace StateFunction

// The GPU flow step: "flowlm_step.mlmodelc" (fp16, also the plain file name) or
// "flowlm_stepv2.mlmodelc" (int8).
std::string_view flowlmStepFile(PocketTtsPrecision precision = PocketTtsPrecision::fp16);

// The fp16 GPU set.
const NameSet& requiredModels();
NameSet requiredModels(PocketTtsPrecision precision);
// The precision matters only on the GPU.
NameSet requiredModels(PocketTtsPrecision precision, PocketTtsModelPlacement placement);
}  // namespace PocketTTS

// StyleTTS 2 (styletts2): base models plus optional fixed-length buckets.
namespace StyleTTS2 {
inline constexpr std::string_view textEncoder = "text_encoder_fp16";
inline constexpr std::string_view textEncoderFile = "text_encoder_fp16.mlmodelc";
inline constexpr std::string_view bert = "bert_fp16";
inline constexpr std::string_view bertFile = "bert_fp16.mlmodelc";
inline constexpr std::string_view bertT64File = "bert_fp16_t64.mlmodelc";
inline constexpr std::string_view bertT128File = "bert_fp16_t128.mlmodelc";
inline constexpr std::string_view bertT256File = "bert_fp16_t256.mlmodelc";
inline constexpr std::string_view refEncoder = "ref_encoder_fp16";
inline constexpr std::string_view refEncoderFile = "ref_encoder_fp16.mlmodelc";
inline constexpr std::string_view fusedDiffusionSampler = "fused_diffusion_sampler_fp16";
inline constexpr std::string_view fusedDiffusionSamplerFile = "fused_diffusion_sampler_fp16.mlmodelc";
inline constexpr std::string_view fusedDiffusionSamplerT64File =
    "fused_diffusion_sampler_fp16_t64.mlmodelc";
inline constexpr std::string_view fusedDiffusionSamplerT128File =
    "fused_diffusion_sampler_fp16_t128.mlmodelc";
inline constexpr std::string_view fusedDiffusionSamplerT256File =
    "fused_diffusion_sampler_fp16_t256.mlmodelc";
inline constexpr std::string_view durationPredictor = "duration_predictor_fp16";
inline constexpr std::string_view durationPredictorFile = "duration_predictor_fp16.mlmodelc";
inline constexpr std::string_view fusedF0nHarSource = "fused_f0n_har_source";
inline constexpr std::string_view fusedF0nHarSourceFile = "fused_f0n_har_source.mlmodelc";
inline constexpr std::string_view decoderPre = "decoder_pre_fp16";
inline constexpr std::string_view decoderPreFile = "decoder_pre_fp16.mlmodelc";
inline constexpr std::string_view decoderUpsample = "decoder_upsample_fp16";
inline constexpr std::string_view decoderUpsampleFile = "decoder_upsample_fp16.mlmodelc";

const NameSet& requiredModels();
// requiredModels() and every bucket file.
const NameSet& allModels();
// The BERT and sampler files of bucket 64, 128 or 256; any other value gives an empty set.
NameSet bucketModels(int forT);
}  // namespace StyleTTS2

// Supertonic 3 (supertonic3): shared models plus one vector estimator chosen by variant.
namespace Supertonic3 {
inline constexpr std::string_view textEncoder = "TextEncoder_v2";
inline constexpr std::string_view textEncoderFile = "TextEncoder_v2.mlmodelc";
inline constexpr std::string_view durationPredictor = "DurationPredictor_v2";
inline constexpr std::string_view durationPredictorFile = "DurationPredictor_v2.mlmodelc";
inline constexpr std::string_view vectorEstimator = "VectorEstimator_v2";
inline constexpr std::string_view vocoder = "Vocoder";
inline constexpr std::string_view vocoderFile = "Vocoder.mlmodelc";
inline constexpr std::string_view configFile = "tts.json";
inline constexpr std::string_view unicodeIndexerFile = "unicode_indexer.json";
inline constexpr std::string_view variantsSubdir = "VectorEstimatorVariants";
inline constexpr std::array<int, 3> aneBuckets = {128, 256, 512};

// "VectorEstimator_v2", then "_L" + bucket when given, then "_" + suffix when given.
std::string vectorEstimatorName(std::optional<std::string_view> precisionSuffix = std::nullopt,
                                std::optional<int> bucket = std::nullopt);
// The name + ".mlmodelc", inside "VectorEstimatorVariants/" when a suffix or a bucket is given.
// With neither it is the plain "VectorEstimator_v2.mlmodelc".
std::string vectorEstimatorFile(std::optional<std::string_view> precisionSuffix = std::nullopt,
                                std::optional<int> bucket = std::nullopt);

const NameSet& requiredModels();
const NameSet& sharedModelFiles();
const NameSet& companionFiles();
// requiredModels() and companionFiles().
const NameSet& requiredFiles();
// Shared models, companion files and the estimator files of the variant: "dyn-" + rest gives one
// file, "ane-" + rest one per ANE bucket, anything else or none the plain estimator.
NameSet requiredFiles(std::optional<std::string_view> veVariant);
}  // namespace Supertonic3

// Inflect (inflectMicro, inflectNano): one synthesizer per frame bucket.
namespace Inflect {
inline constexpr std::string_view encoderFile = "encoder.mlmodelc";
inline constexpr std::array<int, 8> frameBuckets = {256, 384, 512, 640, 768, 896, 1024, 2048};

// "synthesizer_f" + frames + ".mlmodelc"; any integer is accepted.
std::string synthesizerFile(int frames);
const NameSet& requiredModels();
}  // namespace Inflect

// Paradee (the four paradee repositories).
namespace Paradee {
inline constexpr std::string_view textFile = "ParadeeText.mlmodelc";
inline constexpr std::string_view acousticFile = "ParadeeAcoustic.mlmodelc";
inline constexpr std::string_view vocabFile = "vocab.json";

const NameSet& requiredModels();
}  // namespace Paradee

// LuxTTS (luxtts): models by placement ("gpu" or "ane") and two shared vocoders.
namespace LuxTts {
inline constexpr std::string_view gpuVariant = "gpu";
inline constexpr std::string_view aneVariant = "ane";
inline constexpr std::string_view tokensFile = "tokens.txt";
inline constexpr std::string_view configFile = "config.json";
inline constexpr std::string_view vocoder282File = "vocoder/Vocoder282.mlmodelc";
inline constexpr std::string_view vocoder555File = "vocoder/Vocoder555.mlmodelc";

// variant + "/TextEncoder.mlmodelc".
std::string textEncoderFile(std::string_view variant);
// variant + "/FmDecoder.mlmodelc".
std::string fmDecoderFile(std::string_view variant);
// TESSELAUDIO_LUXTTS_VARIANT, read on every call, trimmed and lower-cased, when it is "gpu" or
// "ane"; none otherwise.
std::optional<std::string> variantOverride();
// variantOverride(), else "gpu".
std::string defaultVariant();
// The variant's two models (defaultVariant() when none is given; a given variant is used as it
// stands), both vocoders, tokens and config.
NameSet requiredFiles(std::optional<std::string_view> variant);
}  // namespace LuxTts

// The multilingual grapheme-to-phoneme model (multilingualG2p).
namespace MultilingualG2P {
inline constexpr std::string_view encoder = "MultilingualG2PEncoder";
inline constexpr std::string_view encoderFile = "MultilingualG2PEncoder.mlmodelc";
inline constexpr std::string_view decoder = "MultilingualG2PDecoder";
inline constexpr std::string_view decoderFile = "MultilingualG2PDecoder.mlmodelc";

const NameSet& requiredModels();
}  // namespace MultilingualG2P

// The grapheme-to-phoneme model of the kokoro repository.
namespace G2P {
inline constexpr std::string_view encoder = "G2PEncoder";
inline constexpr std::string_view encoderFile = "G2PEncoder.mlmodelc";
inline constexpr std::string_view decoder = "G2PDecoder";
inline constexpr std::string_view decoderFile = "G2PDecoder.mlmodelc";
inline constexpr std::string_view vocabulary = "g2p_vocab";
inline constexpr std::string_view vocabularyFile = "g2p_vocab.json";

const NameSet& requiredModels();
}  // namespace G2P

// Kokoro on the Neural Engine (kokoroAne, kokoroAneZh, kokoroAneJa).
namespace KokoroAne {
inline constexpr std::string_view albert = "KokoroAlbert.mlmodelc";
inline constexpr std::string_view postAlbert = "KokoroPostAlbert.mlmodelc";
inline constexpr std::string_view alignment = "KokoroAlignment.mlmodelc";
inline constexpr std::string_view prosody = "KokoroProsody_v2.mlmodelc";
inline constexpr std::string_view noise = "KokoroNoise_v2.mlmodelc";
inline constexpr std::string_view vocoder = "KokoroVocoder.mlmodelc";
inline constexpr std::string_view tail = "KokoroTail_v2.mlmodelc";
inline constexpr std::string_view vocab = "vocab.json";
inline constexpr std::string_view defaultVoiceFile = "af_heart.bin";
inline constexpr std::string_view defaultVoiceFileZh = "voices/zf_001.bin";
inline constexpr std::string_view defaultVoiceFileJa = "voices/jf_alpha.bin";
inline constexpr std::string_view g2pwModelZh = "g2pw/g2pw.mlmodelc";

const NameSet& requiredCoreMLModels();
NameSet requiredModels();
NameSet requiredModelsZh();
NameSet requiredModelsJa();
}  // namespace KokoroAne

// NeuTTS (neuTts).
namespace NeuTts {
inline constexpr std::string_view prefillFile = "LM-Prefill-T768-M2048-fp16.mlmodelc";
inline constexpr std::string_view decodeFile = "LM-Decode-M2048-fp16-stateful.mlmodelc";
inline constexpr std::string_view codecFile = "NeuCodec-Decoder-fp16.mlmodelc";
inline constexpr std::string_view tokenizerFile = "tokenizer.json";

const NameSet& requiredModels();
}  // namespace NeuTts

// Chatterbox multilingual (chatterbox). The auxiliary files sit beside the models but are not
// part of the required set.
namespace Chatterbox {
inline constexpr std::string_view prefillFile = "T3-Prefill-T256-M1024-fp16.mlmodelc";
inline constexpr std::string_view decodeFile = "T3-Decode-M1024-fp16-stateful.mlmodelc";
inline constexpr std::string_view flowFile = "Flow-N500-fp16.mlmodelc";
inline constexpr std::string_view vocoderFile = "HiFT-T1000-fp16.mlmodelc";
inline constexpr std::string_view tablesFile = "tables/tables.safetensors";
inline constexpr std::string_view defaultVoiceFile = "tables/voice-default.safetensors";
inline constexpr std::string_view tokenizerFile = "tokenizer/grapheme_mtl_merged_expanded_v1.json";
inline constexpr std::array<std::string_view, 3> auxFiles = {tablesFile, defaultVoiceFile,
                                                             tokenizerFile};

const NameSet& requiredModels();
}  // namespace Chatterbox

// Chatterbox Nano (chatterboxNano). The auxiliary files sit beside the models but are not part of
// the required set.
namespace ChatterboxNano {
inline constexpr std::string_view prefillFile = "T3Nano-Prefill-T512-M1536-fp16.mlmodelc";
inline constexpr std::string_view decodeFile = "T3Nano-Decode-M1536-fp16-stateful.mlmodelc";
inline constexpr std::string_view flowFile = "FlowMean-N500-fp16.mlmodelc";
inline constexpr std::string_view vocoderFile = "HiFT-T1000-fp16.mlmodelc";
inline constexpr std::string_view flowFileExtended = "FlowMean-N1000-fp16.mlmodelc";
inline constexpr std::string_view vocoderFileExtended = "HiFT-T2000-fp16.mlmodelc";
inline constexpr std::string_view tablesFile = "tables/tables.safetensors";
inline constexpr std::string_view defaultVoiceFile = "tables/voice-default.safetensors";
inline constexpr std::string_view vocabFile = "tokenizer/vocab.json";
inline constexpr std::string_view mergesFile = "tokenizer/merges.txt";
inline constexpr std::string_view addedTokensFile = "tokenizer/added_tokens.json";
inline constexpr std::array<std::string_view, 5> auxFiles = {tablesFile, defaultVoiceFile, vocabFile,
                                                             mergesFile, addedTokensFile};

// The standard capacity.
const NameSet& requiredModels();
NameSet requiredModels(ChatterboxNanoOutputCapacity capacity);
}  // namespace ChatterboxNano

}  // namespace ModelNames
}  // namespace tesselaudio
