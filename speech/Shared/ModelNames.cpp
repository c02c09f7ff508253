#include "speech/Shared/ModelNames.h"

#include <cstdlib>
#include <initializer_list>

#include <fmt/format.h>

#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/Unified/UnifiedModelFamily.h"
#include "speech/Diarizer/Sortformer/SortformerConfig.h"

namespace tesselaudio::ModelNames {
namespace {

NameSet setOf(std::initializer_list<std::string_view> names) {
  NameSet set;
  for (auto name : names) set.emplace(name);
  return set;
}

NameSet unite(NameSet set, const NameSet& more) {
  set.insert(more.begin(), more.end());
  return set;
}

std::string compiled(std::string_view name) { return fmt::format("{}.mlmodelc", name); }

bool startsWith(std::optional<std::string_view> text, std::string_view prefix) {
  return text && text->starts_with(prefix);
}

bool equals(std::optional<std::string_view> text, std::string_view word) {
  return text && *text == word;
}

// The two unified families share their layout; only the file prefix differs.
NameSet unifiedRequiredModels(std::string_view prefix, std::optional<std::string_view> variant,
                              const std::string& offlineInt8, const std::string& offlineFp16) {
  NameSet names = {fmt::format("{}_decoder.mlmodelc", prefix),
                   fmt::format("{}_joint_decision_single_step.mlmodelc", prefix), "vocab.json",
                   "metadata.json"};
  if (startsWith(variant, "offline")) {
    names.insert(variant->ends_with("fp16") ? offlineFp16 : offlineInt8);
  }
  return names;
}

const NameSet& parakeetV3LayoutModels() {
  static const NameSet names = ASR::requiredModelsV3(ParakeetEncoderPrecision::int8);
  return names;
}

const NameSet& nemotronMultilingualModels() {
  static const NameSet names = setOf({"preprocessor.mlmodelc", "encoder.mlmodelc",
                                      "decoder.mlmodelc", "joint.mlmodelc", "decoder_joint.mlmodelc",
                                      "decoder_joint_noencproj.mlmodelc",
                                      "joint_noencproj_batched.mlmodelc"});
  return names;
}

NameSet styleTts2Models(std::optional<std::string_view> variant) {
  if (equals(variant, "all")) return StyleTTS2::allModels();
  if (equals(variant, "t64")) return StyleTTS2::bucketModels(64);
  if (equals(variant, "t128")) return StyleTTS2::bucketModels(128);
  if (equals(variant, "t256")) return StyleTTS2::bucketModels(256);
  return StyleTTS2::requiredModels();
}

NameSet cohereModels(std::optional<std::string_view> variant) {
  if (equals(variant, "v2")) return CohereTranscribe::requiredModelsV2();
  if (equals(variant, "v1")) return CohereTranscribe::requiredModelsLegacy();
  return CohereTranscribe::requiredModels();
}

NameSet parakeetV3Models(std::optional<std::string_view> variant) {
  std::optional<ParakeetEncoderPrecision> precision;
  if (variant) precision = ParakeetEncoderPrecision::fromRawValue(*variant);
  return ASR::requiredModelsV3(precision.value_or(ParakeetEncoderPrecision::int8));
}

NameSet canaryModels(std::optional<std::string_view> variant) {
  std::optional<CanaryPrecision> precision;
  if (variant) precision = CanaryPrecision::fromRawValue(*variant);
  return Canary::requiredModels(precision.value_or(CanaryPrecision::int4));
}

NameSet chatterboxNanoModels(std::optional<std::string_view> variant) {
  std::optional<ChatterboxNanoOutputCapacity> capacity;
  if (variant) capacity = ChatterboxNanoOutputCapacity::fromRawValue(*variant);
  return ChatterboxNano::requiredModels(capacity.value_or(ChatterboxNanoOutputCapacity::standard));
}

}  // namespace

NameSet getRequiredModelNames(Repo repo, std::optional<std::string_view> variant) {
  switch (repo) {
    case Repo::cuaS1Forms:
      return CuaS1Forms::requiredModels();
    case Repo::vad:
      return VAD::requiredModels();
    case Repo::localVqe:
      return LocalVQE::requiredModels(variant);
    case Repo::parakeetV3:
      return parakeetV3Models(variant);
    case Repo::parakeetRedux:
    case Repo::parakeetUltra:
    case Repo::quillet2:
    case Repo::quillet25:
    case Repo::thistle3:
    case Repo::thistle3Clean:
      return parakeetV3LayoutModels();
    case Repo::parakeetV2:
      return ASR::requiredModels();
    case Repo::parakeetCtc110m:
    case Repo::parakeetCtc06b:
      return CTC::requiredModels();
    case Repo::senseVoiceSmall:
      return SenseVoice::requiredModels(variant);
    case Repo::nemotron35TranscribeLite:
      return NemotronTranscribeLite::requiredModels();
    case Repo::lfm3Audio:
      return LFM3Audio::requiredModels(variant);
    case Repo::lfm3AudioCoreAI:
      return LFM3Audio::coreAIRequiredModels(variant);
    case Repo::campPlus:
      return CampPlus::requiredModels();
    case Repo::fsmnVad:
      return FsmnVad::requiredModels();
    case Repo::paraformerLargeZh:
      return ParaformerZh::requiredModels();
    case Repo::parakeetJa:
      return TDTJa::requiredModels();
    case Repo::parakeetEou160:
    case Repo::parakeetEou320:
    case Repo::parakeetEou1280:
      return ParakeetEOU::requiredModels();
    case Repo::nemotronStreaming2240:
    case Repo::nemotronStreaming1120:
    case Repo::nemotronStreaming560:
      return NemotronStreaming::requiredModels();
    case Repo::parakeetUnified:
      return ParakeetUnified::requiredModels(variant);
    case Repo::nemotronUnified:
      return NemotronUnified::requiredModels(variant);
    case Repo::nemotronMultilingual:
      return nemotronMultilingualModels();
    case Repo::diarizer:
      return equals(variant, "offline") ? OfflineDiarizer::requiredModels()
                                        : Diarizer::requiredModels();
    case Repo::kokoro:
      return G2P::requiredModels();
    case Repo::kokoroAne:
      return KokoroAne::requiredModels();
    case Repo::kokoroAneZh:
      return KokoroAne::requiredModelsZh();
    case Repo::kokoroAneJa:
      return KokoroAne::requiredModelsJa();
    case Repo::sortformer:
      // The Sortformer loader names the one model file it wants.
      if (variant) return {std::string(*variant)};
      return Sortformer::requiredModels();
    case Repo::nemotron3Diarization:
      if (variant) return {std::string(*variant)};
      return Nemotron3::requiredAssets();
    case Repo::lseendAmi:
    case Repo::lseendCallHome:
    case Repo::lseendDihard2:
    case Repo::lseendDihard3:
      if (variant) return {compiled(*variant)};
      return LSEEND::requiredModels();
    case Repo::pocketTts:
      return PocketTTS::requiredModels();
    case Repo::multilingualG2p:
      return MultilingualG2P::requiredModels();
    case Repo::parakeetTdtCtc110m:
      return ASR::requiredModelsFused();
    case Repo::cohereTranscribeCoreml:
      return cohereModels(variant);
    case Repo::canary1bV2:
      return canaryModels(variant);
    case Repo::styletts2:
      return styleTts2Models(variant);
    case Repo::supertonic3:
      return Supertonic3::requiredFiles(variant);
    case Repo::neuTts:
      return NeuTts::requiredModels();
    case Repo::luxtts:
      return LuxTts::requiredFiles(variant);
    case Repo::inflectMicro:
    case Repo::inflectNano:
      return Inflect::requiredModels();
    case Repo::paradeeInt8:
    case Repo::paradeeFp32:
    case Repo::paradeeV12Int8:
    case Repo::paradeeV12Fp32:
      return Paradee::requiredModels();
    case Repo::chatterbox:
      return Chatterbox::requiredModels();
    case Repo::chatterboxNano:
      return chatterboxNanoModels(variant);
  }
  return {};
}

// Recognisers

const NameSet& ASR::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, encoderFile, decoderFile, jointFile});
  return names;
}

const NameSet& ASR::requiredModelsFused() {
  static const NameSet names = setOf({preprocessorFile, decoderFile, jointFile});
  return names;
}

NameSet ASR::requiredModelsV3(ParakeetEncoderPrecision precision) {
  return setOf({preprocessorFile, precision.encoderFileName(), decoderFile, jointV3File});
}

std::string ASR::vocabulary(Repo) { return std::string(vocabularyFile); }

const NameSet& TDTJa::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, encoderFile, decoderFile, jointFile});
  return names;
}

const NameSet& CTC::requiredModels() {
  static const NameSet names = setOf({melSpectrogramPath, audioEncoderPath});
  return names;
}

const NameSet& ParakeetEOU::requiredModels() {
  static const NameSet names = setOf({encoderFile, decoderFile, jointFile, vocab});
  return names;
}

const NameSet& NemotronStreaming::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, encoderInt8File, decoderFile, jointFile,
                                      decoderJointFile, tokenizer, metadata});
  return names;
}

std::string ParakeetUnified::streamingEncoderFile(UnifiedEncoderPrecision precision,
                                                  std::string_view contextSuffix) {
  return fmt::format("parakeet_unified_encoder_streaming_{}{}.mlmodelc", contextSuffix,
                     precision == UnifiedEncoderPrecision::int8 ? "_int8" : "");
}

std::string ParakeetUnified::offlineEncoderFile(UnifiedEncoderPrecision precision) {
  return std::string(precision == UnifiedEncoderPrecision::int8 ? offlineEncoderInt8File
                                                                : offlineEncoderFp16File);
}

NameSet ParakeetUnified::requiredModels(std::optional<std::string_view> variant) {
  return unifiedRequiredModels("parakeet_unified", variant,
                               offlineEncoderFile(UnifiedEncoderPrecision::int8),
                               offlineEncoderFile(UnifiedEncoderPrecision::fp16));
}

NameSet NemotronUnified::requiredModels(std::optional<std::string_view> variant) {
  auto family = UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::auto_);
  return unifiedRequiredModels("nemotron_unified", variant,
                               family.offlineEncoderFile(UnifiedEncoderPrecision::int8),
                               family.offlineEncoderFile(UnifiedEncoderPrecision::fp16));
}

const NameSet& NemotronTranscribeLite::requiredModels() {
  static const NameSet names =
      setOf({encoderFile, ctcHeadFile, vocabularyFile, melWindowFile, melFilterbankFile});
  return names;
}

const NameSet& SenseVoice::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, encoderFile});
  return names;
}

NameSet SenseVoice::requiredModels(std::optional<std::string_view> precision) {
  std::string_view encoder = encoderFile;
  if (equals(precision, "int8")) encoder = encoderInt8File;
  if (equals(precision, "fp32")) encoder = encoderFp32File;
  return setOf({preprocessorFile, encoder});
}

const NameSet& ParaformerZh::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, encoderFile, encoderInt8File,
                                      cifAlphasFile, decoderFile, decoderInt8File});
  return names;
}

NameSet Canary::requiredModels(CanaryPrecision precision) {
  std::string_view encoderName = encoderInt4;
  std::string_view decoderName = decoderInt4;
  if (precision == CanaryPrecision::fp16) {
    encoderName = encoder;
    decoderName = decoder;
  } else if (precision == CanaryPrecision::int8) {
    encoderName = encoderInt8;
    decoderName = decoderInt8;
  }
  return {std::string(preprocessorFile), std::string(projectionFile), compiled(encoderName),
          compiled(decoderName), std::string(vocabularyFile)};
}

const NameSet& CohereTranscribe::requiredModels() {
  static const NameSet names =
      setOf({encoderCompiledFile, decoderCacheExternalV3CompiledFile, vocab});
  return names;
}

const NameSet& CohereTranscribe::requiredModelsV2() {
  static const NameSet names =
      setOf({encoderCompiledFile, decoderCacheExternalV2CompiledFile, vocab});
  return names;
}

const NameSet& CohereTranscribe::requiredModelsLegacy() {
  static const NameSet names = setOf({encoderCompiledFile, decoderCacheExternalCompiledFile, vocab});
  return names;
}

std::string LFM3Audio::compiledModelFile(std::string_view name) {
  return fmt::format("coreml/{}.mlmodelc", name);
}

std::string LFM3Audio::coreAIBundleFile(std::string_view name) {
  return fmt::format("coreai/{}.aimodel", name);
}

std::vector<std::string> LFM3Audio::coreAIBundleFiles(std::string_view name) {
  auto bundle = coreAIBundleFile(name);
  return {bundle + "/main.mlirb", bundle + "/main.hash", bundle + "/metadata.json"};
}

const NameSet& LFM3Audio::languageModels() {
  static const NameSet names = [] {
    NameSet set;
    for (auto stage : backboneStages) set.insert(compiledModelFile(stage));
    set.insert(compiledModelFile(head));
    return set;
  }();
  return names;
}

const NameSet& LFM3Audio::sharedRecognitionModels() {
  static const NameSet names =
      unite(setOf({packConfigFile, tokenizerFile, embeddingFile}), {compiledModelFile(encoder)});
  return names;
}

const NameSet& LFM3Audio::recognitionModels() {
  static const NameSet names = unite(languageModels(), sharedRecognitionModels());
  return names;
}

const NameSet& LFM3Audio::speechCodecModels() {
  static const NameSet names =
      unite(setOf({codebookFile, codecHeadFile}), {compiledModelFile(codec)});
  return names;
}

const NameSet& LFM3Audio::speechModels() {
  static const NameSet names =
      unite(speechCodecModels(), {compiledModelFile(depthDecoder), std::string(depthTablesFile)});
  return names;
}

const NameSet& LFM3Audio::requiredModels() {
  static const NameSet names = unite(recognitionModels(), speechModels());
  return names;
}

NameSet LFM3Audio::requiredModels(std::optional<std::string_view> variant) {
  if (equals(variant, "recognition")) return recognitionModels();
  if (equals(variant, "coreai")) return unite(sharedRecognitionModels(), speechCodecModels());
  if (equals(variant, "coreai-recognition")) return sharedRecognitionModels();
  return requiredModels();
}

const NameSet& LFM3Audio::coreAIRequiredModels() {
  static const NameSet names = [] {
    NameSet set;
    for (auto& file : coreAIBundleFiles(coreAILanguageModel)) set.insert(file);
    for (auto& file : coreAIBundleFiles(coreAIDepthDecoder)) set.insert(file);
    return set;
  }();
  return names;
}

NameSet LFM3Audio::coreAIRequiredModels(std::optional<std::string_view> variant) {
  if (equals(variant, "recognition")) {
    auto files = coreAIBundleFiles(coreAILanguageModel);
    return NameSet(files.begin(), files.end());
  }
  return coreAIRequiredModels();
}

// Diarizers, detectors and enhancers

const NameSet& Diarizer::requiredModels() {
  static const NameSet names = setOf({segmentationFile, embeddingFile});
  return names;
}

const NameSet& OfflineDiarizer::requiredModels() {
  static const NameSet names =
      setOf({segmentationFile, fbankFile, embeddingFile, pldaRhoFile, pldaParameters});
  return names;
}

const NameSet& CampPlus::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, modelFile});
  return names;
}

namespace {

constexpr std::array<Sortformer::ModelPrecision, 2> kSortformerPrecisions = {
    Sortformer::ModelPrecision::fp16, Sortformer::ModelPrecision::palettized};

constexpr std::array<Sortformer::Variant, 7> kSortformerVariants = {
    Sortformer::Variant::fastV2,          Sortformer::Variant::fastV2_1,
    Sortformer::Variant::balancedV2,      Sortformer::Variant::balancedV2_1,
    Sortformer::Variant::highContextV2,   Sortformer::Variant::highContextV2_1,
    Sortformer::Variant::efficientV2_1};

}  // namespace

std::optional<Sortformer::ModelPrecision> Sortformer::ModelPrecision::fromRawValue(
    std::string_view rawValue) {
  for (auto precision : kSortformerPrecisions) {
    if (precision.rawValue() == rawValue) return precision;
  }
  return std::nullopt;
}

std::span<const Sortformer::ModelPrecision> Sortformer::ModelPrecision::allCases() {
  return kSortformerPrecisions;
}

std::string_view Sortformer::ModelPrecision::rawValue() const {
  return value_ == fp16 ? "fp16" : "palettized";
}

std::string_view Sortformer::ModelPrecision::subdirectory() const {
  return value_ == fp16 ? "v3/fp16" : "v3/palettized";
}

std::span<const Sortformer::Variant> Sortformer::Variant::allCases() { return kSortformerVariants; }

std::string_view Sortformer::Variant::name() const {
  switch (value_) {
    case fastV2:
      return "Sortformer_v2";
    case fastV2_1:
      return "Sortformer_v2.1";
    case balancedV2:
      return "SortformerNvidiaLow_v2";
    case balancedV2_1:
      return "SortformerNvidiaLow_v2.1";
    case highContextV2:
      return "SortformerNvidiaHigh_v2";
    case highContextV2_1:
      return "SortformerNvidiaHigh_v2.1";
    case efficientV2_1:
      return "SortformerEfficient_v2.1";
  }
  return {};
}

std::string Sortformer::Variant::fileName(ModelPrecision precision) const {
  return fmt::format("{}/{}.mlmodelc", precision.subdirectory(), name());
}

SortformerConfig Sortformer::Variant::defaultConfiguration() const {
  switch (value_) {
    case fastV2:
      return SortformerConfig::fastV2();
    case fastV2_1:
      return SortformerConfig::fastV2_1();
    case balancedV2:
      return SortformerConfig::balancedV2();
    case balancedV2_1:
      return SortformerConfig::balancedV2_1();
    case highContextV2:
      return SortformerConfig::highContextV2();
    case highContextV2_1:
      return SortformerConfig::highContextV2_1();
    case efficientV2_1:
      return SortformerConfig::efficientV2_1();
  }
  return SortformerConfig::default_();
}

bool Sortformer::Variant::isCompatible(const SortformerConfig& config) const {
  return defaultConfiguration().isCompatible(config);
}

std::string Sortformer::bundle(Variant variant) { return variant.fileName(); }

std::string Sortformer::bundle(Variant variant, ModelPrecision precision) {
  return variant.fileName(precision);
}

std::optional<std::string> Sortformer::bundle(const SortformerConfig& config) {
  if (!config.modelVariant) return std::nullopt;
  return config.modelVariant->fileName(config.precision);
}

std::string Sortformer::offlineBundle(ModelPrecision precision) {
  return fmt::format("{}/{}.mlmodelc", precision.subdirectory(), offlineModelName);
}

NameSet Sortformer::requiredModels() {
  NameSet names;
  for (auto variant : Variant::allCases()) names.insert(variant.fileName());
  return names;
}

namespace {

constexpr std::array<LSEEND::StepSize, 5> kLseendSteps = {
    LSEEND::StepSize::step100ms, LSEEND::StepSize::step200ms, LSEEND::StepSize::step300ms,
    LSEEND::StepSize::step400ms, LSEEND::StepSize::step500ms};

constexpr std::array<LSEEND::Variant, 4> kLseendVariants = {
    LSEEND::Variant::ami, LSEEND::Variant::callhome, LSEEND::Variant::dihard2,
    LSEEND::Variant::dihard3};

}  // namespace

std::optional<LSEEND::StepSize> LSEEND::StepSize::fromRawValue(int rawValue) {
  for (auto step : kLseendSteps) {
    if (step.rawValue() == rawValue) return step;
  }
  return std::nullopt;
}

std::span<const LSEEND::StepSize> LSEEND::StepSize::allCases() { return kLseendSteps; }

int LSEEND::StepSize::rawValue() const { return static_cast<int>(value_) + 1; }

std::string LSEEND::StepSize::description() const { return fmt::format("{}00ms", rawValue()); }

std::span<const LSEEND::Variant> LSEEND::Variant::allCases() { return kLseendVariants; }

std::string LSEEND::Variant::description() const {
  switch (value_) {
    case ami:
      return "ls_eend_ami";
    case callhome:
      return "ls_eend_ch";
    case dihard2:
      return "ls_eend_dih2";
    case dihard3:
      return "ls_eend_dih3";
  }
  return {};
}

std::string LSEEND::Variant::name() const { return description(); }

std::string LSEEND::Variant::name(StepSize step) const {
  return fmt::format("{}_{}", description(), step.description());
}

std::string LSEEND::Variant::fileName(StepSize step) const {
  return fmt::format("{}/{}.mlmodelc", step.description(), name(step));
}

Repo LSEEND::Variant::repo() const {
  switch (value_) {
    case ami:
      return Repo::lseendAmi;
    case callhome:
      return Repo::lseendCallHome;
    case dihard2:
      return Repo::lseendDihard2;
    case dihard3:
      return Repo::lseendDihard3;
  }
  return Repo::lseendDihard3;
}

std::vector<std::string> LSEEND::bundle(Variant variant, StepSize step) {
  return {variant.fileName(step)};
}

std::vector<std::string> LSEEND::defaultBundle() { return bundle(defaultVariant, defaultStep); }

NameSet LSEEND::requiredModels() {
  NameSet names;
  for (auto variant : Variant::allCases()) {
    for (auto step : StepSize::allCases()) names.insert(variant.fileName(step));
  }
  return names;
}

const NameSet& Nemotron3::requiredAssets() {
  static const NameSet names = setOf({silenceEmbeddingFile, preEncodeProjectionFile});
  return names;
}

const NameSet& VAD::requiredModels() {
  static const NameSet names = setOf({sileroVadFile});
  return names;
}

const NameSet& FsmnVad::requiredModels() {
  static const NameSet names = setOf({preprocessorFile, scorerFile});
  return names;
}

std::string LocalVQE::modelFile(LocalVqeVariant variant, LocalVqeChunk chunk) {
  std::string_view modelName =
      variant == LocalVqeVariant::v13 ? "localvqe-v1.3-4.8M" : "localvqe-v1.2-1.3M";
  return fmt::format("{}-{}.mlmodelc", modelName, chunk.rawValue());
}

std::string LocalVQE::variantKey(LocalVqeVariant variant, LocalVqeChunk chunk) {
  return fmt::format("{}-{}", variant.rawValue(), chunk.rawValue());
}

NameSet LocalVQE::allModels() {
  NameSet names;
  for (auto variant : LocalVqeVariant::allCases()) {
    for (auto chunk : LocalVqeChunk::allCases()) names.insert(modelFile(variant, chunk));
  }
  return names;
}

NameSet LocalVQE::requiredModels(std::optional<std::string_view> variant) {
  if (variant) {
    for (auto v : LocalVqeVariant::allCases()) {
      for (auto chunk : LocalVqeChunk::allCases()) {
        if (variantKey(v, chunk) == *variant) return {modelFile(v, chunk)};
      }
    }
  }
  return allModels();
}

const NameSet& CuaS1Forms::requiredModels() {
  static const NameSet names = setOf({modelFile});
  return names;
}

// Speech synthesis

std::string_view PocketTTS::flowlmStepFile(PocketTtsPrecision precision) {
  return precision == PocketTtsPrecision::fp16 ? "flowlm_step.mlmodelc" : flowlmStepV2File;
}

const NameSet& PocketTTS::requiredModels() {
  static const NameSet names = requiredModels(PocketTtsPrecision::fp16);
  return names;
}

NameSet PocketTTS::requiredModels(PocketTtsPrecision precision) {
  return requiredModels(precision, PocketTtsModelPlacement::gpu);
}

NameSet PocketTTS::requiredModels(PocketTtsPrecision precision,
                                  PocketTtsModelPlacement placement) {
  switch (placement) {
    case PocketTtsModelPlacement::gpu:
      return setOf({condPrefillFile, flowlmStepFile(precision), flowDecoderFusedFile,
                    mimiDecoderFile, constantsBinDir});
    case PocketTtsModelPlacement::ane:
      return setOf({condPrefillAneFile, flowlmStepAneFile, flowDecoderFusedFile, mimiDecoderFile,
                    constantsBinDir});
    case PocketTtsModelPlacement::aneState:
      return setOf({pocketStateFile, mimiDecoderFile, constantsBinDir});
  }
  return {};
}

const NameSet& StyleTTS2::requiredModels() {
  static const NameSet names =
      setOf({textEncoderFile, bertFile, refEncoderFile, fusedDiffusionSamplerFile,
             durationPredictorFile, fusedF0nHarSourceFile, decoderPreFile, decoderUpsampleFile});
  return names;
}

const NameSet& StyleTTS2::allModels() {
  static const NameSet names =
      unite(requiredModels(), unite(bucketModels(64), unite(bucketModels(128), bucketModels(256))));
  return names;
}

NameSet StyleTTS2::bucketModels(int forT) {
  switch (forT) {
    case 64:
      return setOf({bertT64File, fusedDiffusionSamplerT64File});
    case 128:
      return setOf({bertT128File, fusedDiffusionSamplerT128File});
    case 256:
      return setOf({bertT256File, fusedDiffusionSamplerT256File});
    default:
      return {};
  }
}

std::string Supertonic3::vectorEstimatorName(std::optional<std::string_view> precisionSuffix,
                                             std::optional<int> bucket) {
  std::string name(vectorEstimator);
  if (bucket) name += fmt::format("_L{}", *bucket);
  if (precisionSuffix) name += fmt::format("_{}", *precisionSuffix);
  return name;
}

std::string Supertonic3::vectorEstimatorFile(std::optional<std::string_view> precisionSuffix,
                                             std::optional<int> bucket) {
  auto file = compiled(vectorEstimatorName(precisionSuffix, bucket));
  if (!precisionSuffix && !bucket) return file;
  return fmt::format("{}/{}", variantsSubdir, file);
}

const NameSet& Supertonic3::requiredModels() {
  static const NameSet names =
      unite(sharedModelFiles(), {vectorEstimatorFile()});
  return names;
}

const NameSet& Supertonic3::sharedModelFiles() {
  static const NameSet names = setOf({textEncoderFile, durationPredictorFile, vocoderFile});
  return names;
}

const NameSet& Supertonic3::companionFiles() {
  static const NameSet names = setOf({configFile, unicodeIndexerFile});
  return names;
}

const NameSet& Supertonic3::requiredFiles() {
  static const NameSet names = unite(requiredModels(), companionFiles());
  return names;
}

NameSet Supertonic3::requiredFiles(std::optional<std::string_view> veVariant) {
  NameSet names = unite(sharedModelFiles(), companionFiles());
  if (startsWith(veVariant, "dyn-")) {
    names.insert(vectorEstimatorFile(veVariant->substr(4)));
  } else if (startsWith(veVariant, "ane-")) {
    for (int bucket : aneBuckets) names.insert(vectorEstimatorFile(veVariant->substr(4), bucket));
  } else {
    names.insert(vectorEstimatorFile());
  }
  return names;
}

std::string Inflect::synthesizerFile(int frames) {
  return fmt::format("synthesizer_f{}.mlmodelc", frames);
}

const NameSet& Inflect::requiredModels() {
  static const NameSet names = [] {
    NameSet set = {std::string(encoderFile)};
    for (int frames : frameBuckets) set.insert(synthesizerFile(frames));
    return set;
  }();
  return names;
}

const NameSet& Paradee::requiredModels() {
  static const NameSet names = setOf({textFile, acousticFile, vocabFile});
  return names;
}

std::string LuxTts::textEncoderFile(std::string_view variant) {
  return fmt::format("{}/TextEncoder.mlmodelc", variant);
}

std::string LuxTts::fmDecoderFile(std::string_view variant) {
  return fmt::format("{}/FmDecoder.mlmodelc", variant);
}

std::optional<std::string> LuxTts::variantOverride() {
  const char* value = std::getenv("TESSELAUDIO_LUXTTS_VARIANT");
  if (value == nullptr) return std::nullopt;
  auto word = platform::text::trimWhitespaceAndNewlines(value);
  // ASCII folding is enough: only "gpu" and "ane" are accepted afterwards.
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (word == gpuVariant || word == aneVariant) return word;
  return std::nullopt;
}

std::string LuxTts::defaultVariant() {
  return variantOverride().value_or(std::string(gpuVariant));
}

NameSet LuxTts::requiredFiles(std::optional<std::string_view> variant) {
  std::string v = variant ? std::string(*variant) : defaultVariant();
  return {textEncoderFile(v),          fmDecoderFile(v),           std::string(vocoder282File),
          std::string(vocoder555File), std::string(tokensFile), std::string(configFile)};
}

const NameSet& MultilingualG2P::requiredModels() {
  static const NameSet names = setOf({encoderFile, decoderFile});
  return names;
}

const NameSet& G2P::requiredModels() {
  static const NameSet names = setOf({encoderFile, decoderFile, vocabularyFile});
  return names;
}

const NameSet& KokoroAne::requiredCoreMLModels() {
  static const NameSet names =
      setOf({albert, postAlbert, alignment, prosody, noise, vocoder, tail});
  return names;
}

NameSet KokoroAne::requiredModels() {
  return unite(requiredCoreMLModels(), setOf({vocab, defaultVoiceFile}));
}

NameSet KokoroAne::requiredModelsZh() {
  return unite(requiredCoreMLModels(), setOf({vocab, defaultVoiceFileZh, g2pwModelZh}));
}

NameSet KokoroAne::requiredModelsJa() {
  return unite(requiredCoreMLModels(), setOf({vocab, defaultVoiceFileJa}));
}

const NameSet& NeuTts::requiredModels() {
  static const NameSet names = setOf({prefillFile, decodeFile, codecFile});
  return names;
}

const NameSet& Chatterbox::requiredModels() {
  static const NameSet names = setOf({prefillFile, decodeFile, flowFile, vocoderFile});
  return names;
}

const NameSet& ChatterboxNano::requiredModels() {
  static const NameSet names = setOf({prefillFile, decodeFile, flowFile, vocoderFile});
  return names;
}

NameSet ChatterboxNano::requiredModels(ChatterboxNanoOutputCapacity capacity) {
  if (capacity == ChatterboxNanoOutputCapacity::standard) return requiredModels();
  return setOf({prefillFile, decodeFile, flowFileExtended, vocoderFileExtended});
}

}  // namespace tesselaudio::ModelNames
