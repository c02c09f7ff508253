#include "speech/Shared/ModelNames.h"

#include <cstdlib>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"

namespace tesselaudio {
namespace {

using ModelNames::NameSet;

const NameSet kParakeetV3Int8 = {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
                                 "JointDecisionv3.mlmodelc"};
const NameSet kParakeetEou = {"streaming_encoder.mlmodelc", "decoder.mlmodelc",
                              "joint_decision.mlmodelc", "vocab.json"};
const NameSet kNemotronStreaming = {"preprocessor.mlmodelc", "encoder/encoder_int8.mlmodelc",
                                    "decoder.mlmodelc",      "joint.mlmodelc",
                                    "decoder_joint.mlmodelc", "tokenizer.json",
                                    "metadata.json"};
const NameSet kCtc = {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc"};
const NameSet kOnlineDiarizer = {"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"};
const NameSet kLfm3Shared = {"coreml/AudioEncoder-fp16.mlmodelc", "assets/config.json",
                             "assets/tokenizer.json", "assets/embed_tokens.f16.bin"};
const NameSet kLfm3Recognition = {
    "coreml/LFM3-A-C4160-int8b32.mlmodelc", "coreml/LFM3-B-C4160-int8b32.mlmodelc",
    "coreml/LFM3-Head-int8b32.mlmodelc",    "coreml/AudioEncoder-fp16.mlmodelc",
    "assets/config.json",                   "assets/tokenizer.json",
    "assets/embed_tokens.f16.bin"};
const NameSet kLfm3All = {
    "coreml/LFM3-A-C4160-int8b32.mlmodelc", "coreml/LFM3-B-C4160-int8b32.mlmodelc",
    "coreml/LFM3-Head-int8b32.mlmodelc",    "coreml/AudioEncoder-fp16.mlmodelc",
    "assets/config.json",                   "assets/tokenizer.json",
    "assets/embed_tokens.f16.bin",          "coreml/CodecDecoder-fp16.mlmodelc",
    "assets/codebook_embedding.f16.bin",    "assets/codec_head.f32.bin",
    "coreml/DepthDecoder-fp16.mlmodelc",    "assets/depth_tables.f16.bin"};
const NameSet kLfm3CoreAILanguageModel = {"coreai/LFM3-Audio-u8b32-f16L20-23.aimodel/main.mlirb",
                                          "coreai/LFM3-Audio-u8b32-f16L20-23.aimodel/main.hash",
                                          "coreai/LFM3-Audio-u8b32-f16L20-23.aimodel/metadata.json"};
const NameSet kLocalVqeAll = {"localvqe-v1.3-4.8M-16ms.mlmodelc", "localvqe-v1.3-4.8M-256ms.mlmodelc",
                              "localvqe-v1.2-1.3M-16ms.mlmodelc",
                              "localvqe-v1.2-1.3M-256ms.mlmodelc"};
const NameSet kUnifiedParakeet = {"parakeet_unified_decoder.mlmodelc",
                                  "parakeet_unified_joint_decision_single_step.mlmodelc",
                                  "vocab.json", "metadata.json"};
const NameSet kUnifiedNemotron = {"nemotron_unified_decoder.mlmodelc",
                                  "nemotron_unified_joint_decision_single_step.mlmodelc",
                                  "vocab.json", "metadata.json"};
const NameSet kKokoroAneModels = {"KokoroAlbert.mlmodelc",     "KokoroPostAlbert.mlmodelc",
                                  "KokoroAlignment.mlmodelc",  "KokoroProsody_v2.mlmodelc",
                                  "KokoroNoise_v2.mlmodelc",   "KokoroVocoder.mlmodelc",
                                  "KokoroTail_v2.mlmodelc"};
const NameSet kSortformerAll = {
    "v3/fp16/Sortformer_v2.mlmodelc",           "v3/fp16/Sortformer_v2.1.mlmodelc",
    "v3/fp16/SortformerNvidiaLow_v2.mlmodelc",  "v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc",
    "v3/fp16/SortformerNvidiaHigh_v2.mlmodelc", "v3/fp16/SortformerNvidiaHigh_v2.1.mlmodelc",
    "v3/fp16/SortformerEfficient_v2.1.mlmodelc"};
const NameSet kLseendAll = {
    "100ms/ls_eend_ami_100ms.mlmodelc",  "200ms/ls_eend_ami_200ms.mlmodelc",
    "300ms/ls_eend_ami_300ms.mlmodelc",  "400ms/ls_eend_ami_400ms.mlmodelc",
    "500ms/ls_eend_ami_500ms.mlmodelc",  "100ms/ls_eend_ch_100ms.mlmodelc",
    "200ms/ls_eend_ch_200ms.mlmodelc",   "300ms/ls_eend_ch_300ms.mlmodelc",
    "400ms/ls_eend_ch_400ms.mlmodelc",   "500ms/ls_eend_ch_500ms.mlmodelc",
    "100ms/ls_eend_dih2_100ms.mlmodelc", "200ms/ls_eend_dih2_200ms.mlmodelc",
    "300ms/ls_eend_dih2_300ms.mlmodelc", "400ms/ls_eend_dih2_400ms.mlmodelc",
    "500ms/ls_eend_dih2_500ms.mlmodelc", "100ms/ls_eend_dih3_100ms.mlmodelc",
    "200ms/ls_eend_dih3_200ms.mlmodelc", "300ms/ls_eend_dih3_300ms.mlmodelc",
    "400ms/ls_eend_dih3_400ms.mlmodelc", "500ms/ls_eend_dih3_500ms.mlmodelc"};
const NameSet kCanaryInt4 = {"Preprocessor.mlmodelc", "Projection.mlmodelc", "EncoderInt4.mlmodelc",
                             "DecoderInt4.mlmodelc", "vocab.json"};
const NameSet kStyleTts2Base = {"text_encoder_fp16.mlmodelc",
                                "bert_fp16.mlmodelc",
                                "ref_encoder_fp16.mlmodelc",
                                "fused_diffusion_sampler_fp16.mlmodelc",
                                "duration_predictor_fp16.mlmodelc",
                                "fused_f0n_har_source.mlmodelc",
                                "decoder_pre_fp16.mlmodelc",
                                "decoder_upsample_fp16.mlmodelc"};
const NameSet kSupertonic3Default = {"TextEncoder_v2.mlmodelc", "DurationPredictor_v2.mlmodelc",
                                     "Vocoder.mlmodelc",        "VectorEstimator_v2.mlmodelc",
                                     "tts.json",                "unicode_indexer.json"};
const NameSet kCohereV3 = {"cohere_encoder.mlmodelc", "cohere_decoder_cache_external_v3.mlmodelc",
                           "vocab.json"};
const NameSet kChatterboxNanoStandard = {
    "T3Nano-Prefill-T512-M1536-fp16.mlmodelc", "T3Nano-Decode-M1536-fp16-stateful.mlmodelc",
    "FlowMean-N500-fp16.mlmodelc", "HiFT-T1000-fp16.mlmodelc"};
const NameSet kSenseVoiceDefault = {"SenseVoicePreprocessor.mlmodelc", "SenseVoiceSmall.mlmodelc"};

NameSet with(NameSet set, std::initializer_list<const char*> more) {
  for (const char* name : more) set.insert(name);
  return set;
}

struct RequiredCase {
  const char* name;
  Repo repo;
  std::optional<const char*> variant;
  NameSet expected;
};

// Every repository with no variant, and every variant rule with its edges. The luxtts case without
// a variant depends on the environment and is checked with it below.
const RequiredCase kRequiredCases[] = {
    {"cuaS1Forms", Repo::cuaS1Forms, "ignored", {"cua_s1_forms_fp16_options32.mlmodelc"}},
    {"vad", Repo::vad, std::nullopt, {"silero-vad-unified-256ms-v6.2.1.mlmodelc"}},
    {"localVqeNone", Repo::localVqe, std::nullopt, kLocalVqeAll},
    {"localVqeKey", Repo::localVqe, "v1.2-256ms", {"localvqe-v1.2-1.3M-256ms.mlmodelc"}},
    {"localVqeFirstKey", Repo::localVqe, "v1.3-16ms", {"localvqe-v1.3-4.8M-16ms.mlmodelc"}},
    {"localVqeVariantAlone", Repo::localVqe, "v1.2", kLocalVqeAll},
    {"localVqeUpperCase", Repo::localVqe, "V1.2-256MS", kLocalVqeAll},
    {"localVqeEmpty", Repo::localVqe, "", kLocalVqeAll},
    {"parakeetV3None", Repo::parakeetV3, std::nullopt, kParakeetV3Int8},
    {"parakeetV3Int8", Repo::parakeetV3, "int8", kParakeetV3Int8},
    {"parakeetV3Int8V2",
     Repo::parakeetV3,
     "int8-v2",
     {"Preprocessor.mlmodelc", "Encoder_v2.mlmodelc", "Decoder.mlmodelc",
      "JointDecisionv3.mlmodelc"}},
    {"parakeetV3Int4",
     Repo::parakeetV3,
     "int4",
     {"Preprocessor.mlmodelc", "EncoderInt4.mlmodelc", "Decoder.mlmodelc",
      "JointDecisionv3.mlmodelc"}},
    {"parakeetV3UpperCase", Repo::parakeetV3, "INT4", kParakeetV3Int8},
    {"parakeetV3CaseName", Repo::parakeetV3, "int8V2", kParakeetV3Int8},
    {"parakeetReduxIgnoresVariant", Repo::parakeetRedux, "int4", kParakeetV3Int8},
    {"parakeetUltra", Repo::parakeetUltra, std::nullopt, kParakeetV3Int8},
    {"quillet2", Repo::quillet2, std::nullopt, kParakeetV3Int8},
    {"quillet25", Repo::quillet25, "int8-v2", kParakeetV3Int8},
    {"thistle3", Repo::thistle3, std::nullopt, kParakeetV3Int8},
    {"thistle3Clean", Repo::thistle3Clean, std::nullopt, kParakeetV3Int8},
    {"parakeetV2",
     Repo::parakeetV2,
     "int4",
     {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"}},
    {"parakeetCtc110m", Repo::parakeetCtc110m, std::nullopt, kCtc},
    {"parakeetCtc06b", Repo::parakeetCtc06b, std::nullopt, kCtc},
    {"senseVoiceNone", Repo::senseVoiceSmall, std::nullopt, kSenseVoiceDefault},
    {"senseVoiceInt8",
     Repo::senseVoiceSmall,
     "int8",
     {"SenseVoicePreprocessor.mlmodelc", "SenseVoiceSmall_int8.mlmodelc"}},
    {"senseVoiceFp32",
     Repo::senseVoiceSmall,
     "fp32",
     {"SenseVoicePreprocessor.mlmodelc", "SenseVoiceSmall_fp32.mlmodelc"}},
    {"senseVoiceUpperCase", Repo::senseVoiceSmall, "INT8", kSenseVoiceDefault},
    {"nemotron35TranscribeLite",
     Repo::nemotron35TranscribeLite,
     std::nullopt,
     {"coreml/lite_encoder_w48.mlmodelc", "coreml/lite_ctc_head_w48.mlmodelc", "assets/vocab.json",
      "assets/mel_window.bin", "assets/mel_filterbank.bin"}},
    {"lfm3AudioNone", Repo::lfm3Audio, std::nullopt, kLfm3All},
    {"lfm3AudioRecognition", Repo::lfm3Audio, "recognition", kLfm3Recognition},
    {"lfm3AudioCoreAI", Repo::lfm3Audio, "coreai",
     with(kLfm3Shared, {"coreml/CodecDecoder-fp16.mlmodelc", "assets/codebook_embedding.f16.bin",
                        "assets/codec_head.f32.bin"})},
    {"lfm3AudioCoreAIRecognition", Repo::lfm3Audio, "coreai-recognition", kLfm3Shared},
    {"lfm3AudioUpperCase", Repo::lfm3Audio, "Recognition", kLfm3All},
    {"lfm3AudioCoreAIRepoRecognition", Repo::lfm3AudioCoreAI, "recognition",
     kLfm3CoreAILanguageModel},
    {"lfm3AudioCoreAIRepoNone", Repo::lfm3AudioCoreAI, std::nullopt,
     with(kLfm3CoreAILanguageModel, {"coreai/DepthDecoder-fp16-gpu.aimodel/main.mlirb",
                                     "coreai/DepthDecoder-fp16-gpu.aimodel/main.hash",
                                     "coreai/DepthDecoder-fp16-gpu.aimodel/metadata.json"})},
    {"campPlus",
     Repo::campPlus,
     std::nullopt,
     {"CamPlusPreprocessor_v2.mlmodelc", "CamPlusPlus_v2.mlmodelc"}},
    {"fsmnVad", Repo::fsmnVad, std::nullopt, {"FsmnVadPreprocessor.mlmodelc", "FsmnVad.mlmodelc"}},
    {"paraformerLargeZh",
     Repo::paraformerLargeZh,
     std::nullopt,
     {"ParaformerPreprocessor.mlmodelc", "ParaformerEncoder.mlmodelc",
      "ParaformerEncoder_int8.mlmodelc", "ParaformerCifAlphas.mlmodelc",
      "ParaformerDecoder.mlmodelc", "ParaformerDecoder_int8.mlmodelc"}},
    {"parakeetJa",
     Repo::parakeetJa,
     std::nullopt,
     {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoderv2.mlmodelc", "Jointerv2.mlmodelc"}},
    {"parakeetEou160", Repo::parakeetEou160, std::nullopt, kParakeetEou},
    {"parakeetEou320", Repo::parakeetEou320, std::nullopt, kParakeetEou},
    {"parakeetEou1280", Repo::parakeetEou1280, "160ms", kParakeetEou},
    {"nemotronStreaming2240", Repo::nemotronStreaming2240, std::nullopt, kNemotronStreaming},
    {"nemotronStreaming1120", Repo::nemotronStreaming1120, std::nullopt, kNemotronStreaming},
    {"nemotronStreaming560", Repo::nemotronStreaming560, std::nullopt, kNemotronStreaming},
    {"parakeetUnifiedNone", Repo::parakeetUnified, std::nullopt, kUnifiedParakeet},
    {"parakeetUnifiedOffline", Repo::parakeetUnified, "offline",
     with(kUnifiedParakeet, {"parakeet_unified_encoder_int8.mlmodelc"})},
    {"parakeetUnifiedOfflineFp16", Repo::parakeetUnified, "offline-fp16",
     with(kUnifiedParakeet, {"parakeet_unified_encoder.mlmodelc"})},
    {"parakeetUnifiedOfflineInt8", Repo::parakeetUnified, "offline-int8",
     with(kUnifiedParakeet, {"parakeet_unified_encoder_int8.mlmodelc"})},
    {"parakeetUnifiedStreamingFp16", Repo::parakeetUnified, "streaming-fp16", kUnifiedParakeet},
    {"parakeetUnifiedUpperCase", Repo::parakeetUnified, "Offline-fp16", kUnifiedParakeet},
    {"nemotronUnifiedNone", Repo::nemotronUnified, std::nullopt, kUnifiedNemotron},
    {"nemotronUnifiedOffline", Repo::nemotronUnified, "offline",
     with(kUnifiedNemotron, {"nemotron_unified_encoder_int8.mlmodelc"})},
    {"nemotronUnifiedOfflineFp16", Repo::nemotronUnified, "offlinefp16",
     with(kUnifiedNemotron, {"nemotron_unified_encoder.mlmodelc"})},
    {"nemotronUnifiedFp16Only", Repo::nemotronUnified, "fp16", kUnifiedNemotron},
    {"nemotronMultilingual",
     Repo::nemotronMultilingual,
     std::nullopt,
     {"preprocessor.mlmodelc", "encoder.mlmodelc", "decoder.mlmodelc", "joint.mlmodelc",
      "decoder_joint.mlmodelc", "decoder_joint_noencproj.mlmodelc",
      "joint_noencproj_batched.mlmodelc"}},
    {"diarizerNone", Repo::diarizer, std::nullopt, kOnlineDiarizer},
    {"diarizerOffline",
     Repo::diarizer,
     "offline",
     {"Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc",
      "plda-parameters.json"}},
    {"diarizerOfflineCapitalised", Repo::diarizer, "Offline", kOnlineDiarizer},
    {"kokoro", Repo::kokoro, std::nullopt,
     {"G2PEncoder.mlmodelc", "G2PDecoder.mlmodelc", "g2p_vocab.json"}},
    {"kokoroAne", Repo::kokoroAne, std::nullopt, with(kKokoroAneModels, {"vocab.json", "af_heart.bin"})},
    {"kokoroAneZh", Repo::kokoroAneZh, std::nullopt,
     with(kKokoroAneModels, {"vocab.json", "voices/zf_001.bin", "g2pw/g2pw.mlmodelc"})},
    {"kokoroAneJa", Repo::kokoroAneJa, std::nullopt,
     with(kKokoroAneModels, {"vocab.json", "voices/jf_alpha.bin"})},
    {"sortformerNone", Repo::sortformer, std::nullopt, kSortformerAll},
    {"sortformerFile",
     Repo::sortformer,
     "v3/palettized/Sortformer_v2.mlmodelc",
     {"v3/palettized/Sortformer_v2.mlmodelc"}},
    {"sortformerAnyText", Repo::sortformer, "Some Name", {"Some Name"}},
    {"nemotron3DiarizationNone",
     Repo::nemotron3Diarization,
     std::nullopt,
     {"learnable_sil_emb.bin", "pre_encode_proj_t.bin"}},
    {"nemotron3DiarizationFile", Repo::nemotron3Diarization, "model.mlmodelc", {"model.mlmodelc"}},
    {"lseendAmiModel",
     Repo::lseendAmi,
     "100ms/ls_eend_ami_100ms",
     {"100ms/ls_eend_ami_100ms.mlmodelc"}},
    {"lseendAmiNone", Repo::lseendAmi, std::nullopt, kLseendAll},
    {"lseendCallHomeNone", Repo::lseendCallHome, std::nullopt, kLseendAll},
    {"lseendDihard2None", Repo::lseendDihard2, std::nullopt, kLseendAll},
    {"lseendDihard3Model",
     Repo::lseendDihard3,
     "500ms/ls_eend_dih3_500ms",
     {"500ms/ls_eend_dih3_500ms.mlmodelc"}},
    {"pocketTts",
     Repo::pocketTts,
     "int8",
     {"cond_prefill.mlmodelc", "flowlm_step.mlmodelc", "flow_decoder_fused.mlmodelc",
      "mimi_decoder.mlmodelc", "constants_bin"}},
    {"multilingualG2p",
     Repo::multilingualG2p,
     std::nullopt,
     {"MultilingualG2PEncoder.mlmodelc", "MultilingualG2PDecoder.mlmodelc"}},
    {"parakeetTdtCtc110m",
     Repo::parakeetTdtCtc110m,
     std::nullopt,
     {"Preprocessor.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"}},
    {"cohereNone", Repo::cohereTranscribeCoreml, std::nullopt, kCohereV3},
    {"cohereV2",
     Repo::cohereTranscribeCoreml,
     "v2",
     {"cohere_encoder.mlmodelc", "cohere_decoder_cache_external_v2.mlmodelc", "vocab.json"}},
    {"cohereV1",
     Repo::cohereTranscribeCoreml,
     "v1",
     {"cohere_encoder.mlmodelc", "cohere_decoder_cache_external.mlmodelc", "vocab.json"}},
    {"cohereV3", Repo::cohereTranscribeCoreml, "v3", kCohereV3},
    {"canaryNone", Repo::canary1bV2, std::nullopt, kCanaryInt4},
    {"canaryInt4", Repo::canary1bV2, "int4", kCanaryInt4},
    {"canaryFp16",
     Repo::canary1bV2,
     "fp16",
     {"Preprocessor.mlmodelc", "Projection.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
      "vocab.json"}},
    {"canaryInt8",
     Repo::canary1bV2,
     "int8",
     {"Preprocessor.mlmodelc", "Projection.mlmodelc", "EncoderInt8.mlmodelc",
      "DecoderInt8.mlmodelc", "vocab.json"}},
    {"canaryUpperCase", Repo::canary1bV2, "FP16", kCanaryInt4},
    {"styletts2None", Repo::styletts2, std::nullopt, kStyleTts2Base},
    {"styletts2T64",
     Repo::styletts2,
     "t64",
     {"bert_fp16_t64.mlmodelc", "fused_diffusion_sampler_fp16_t64.mlmodelc"}},
    {"styletts2T128",
     Repo::styletts2,
     "t128",
     {"bert_fp16_t128.mlmodelc", "fused_diffusion_sampler_fp16_t128.mlmodelc"}},
    {"styletts2T256",
     Repo::styletts2,
     "t256",
     {"bert_fp16_t256.mlmodelc", "fused_diffusion_sampler_fp16_t256.mlmodelc"}},
    {"styletts2All", Repo::styletts2, "all",
     with(kStyleTts2Base,
          {"bert_fp16_t64.mlmodelc", "bert_fp16_t128.mlmodelc", "bert_fp16_t256.mlmodelc",
           "fused_diffusion_sampler_fp16_t64.mlmodelc", "fused_diffusion_sampler_fp16_t128.mlmodelc",
           "fused_diffusion_sampler_fp16_t256.mlmodelc"})},
    {"styletts2OtherBucket", Repo::styletts2, "t512", kStyleTts2Base},
    {"supertonic3None", Repo::supertonic3, std::nullopt, kSupertonic3Default},
    {"supertonic3Other", Repo::supertonic3, "DYN-int8", kSupertonic3Default},
    {"supertonic3Dyn",
     Repo::supertonic3,
     "dyn-int8",
     {"TextEncoder_v2.mlmodelc", "DurationPredictor_v2.mlmodelc", "Vocoder.mlmodelc",
      "tts.json", "unicode_indexer.json", "VectorEstimatorVariants/VectorEstimator_v2_int8.mlmodelc"}},
    {"supertonic3DynEmptyRest",
     Repo::supertonic3,
     "dyn-",
     {"TextEncoder_v2.mlmodelc", "DurationPredictor_v2.mlmodelc", "Vocoder.mlmodelc",
      "tts.json", "unicode_indexer.json", "VectorEstimatorVariants/VectorEstimator_v2_.mlmodelc"}},
    {"supertonic3Ane",
     Repo::supertonic3,
     "ane-fp16",
     {"TextEncoder_v2.mlmodelc", "DurationPredictor_v2.mlmodelc", "Vocoder.mlmodelc", "tts.json",
      "unicode_indexer.json", "VectorEstimatorVariants/VectorEstimator_v2_L128_fp16.mlmodelc",
      "VectorEstimatorVariants/VectorEstimator_v2_L256_fp16.mlmodelc",
      "VectorEstimatorVariants/VectorEstimator_v2_L512_fp16.mlmodelc"}},
    {"neuTts",
     Repo::neuTts,
     std::nullopt,
     {"LM-Prefill-T768-M2048-fp16.mlmodelc", "LM-Decode-M2048-fp16-stateful.mlmodelc",
      "NeuCodec-Decoder-fp16.mlmodelc"}},
    {"luxttsGiven",
     Repo::luxtts,
     "ane",
     {"ane/TextEncoder.mlmodelc", "ane/FmDecoder.mlmodelc", "vocoder/Vocoder282.mlmodelc",
      "vocoder/Vocoder555.mlmodelc", "tokens.txt", "config.json"}},
    {"luxttsGivenUnchanged",
     Repo::luxtts,
     "Custom",
     {"Custom/TextEncoder.mlmodelc", "Custom/FmDecoder.mlmodelc", "vocoder/Vocoder282.mlmodelc",
      "vocoder/Vocoder555.mlmodelc", "tokens.txt", "config.json"}},
    {"inflectMicro",
     Repo::inflectMicro,
     std::nullopt,
     {"encoder.mlmodelc", "synthesizer_f256.mlmodelc", "synthesizer_f384.mlmodelc",
      "synthesizer_f512.mlmodelc", "synthesizer_f640.mlmodelc", "synthesizer_f768.mlmodelc",
      "synthesizer_f896.mlmodelc", "synthesizer_f1024.mlmodelc", "synthesizer_f2048.mlmodelc"}},
    {"paradeeInt8",
     Repo::paradeeInt8,
     std::nullopt,
     {"ParadeeText.mlmodelc", "ParadeeAcoustic.mlmodelc", "vocab.json"}},
    {"paradeeV12Fp32",
     Repo::paradeeV12Fp32,
     "int8",
     {"ParadeeText.mlmodelc", "ParadeeAcoustic.mlmodelc", "vocab.json"}},
    {"chatterbox",
     Repo::chatterbox,
     std::nullopt,
     {"T3-Prefill-T256-M1024-fp16.mlmodelc", "T3-Decode-M1024-fp16-stateful.mlmodelc",
      "Flow-N500-fp16.mlmodelc", "HiFT-T1000-fp16.mlmodelc"}},
    {"chatterboxNanoNone", Repo::chatterboxNano, std::nullopt, kChatterboxNanoStandard},
    {"chatterboxNanoStandard", Repo::chatterboxNano, "standard", kChatterboxNanoStandard},
    {"chatterboxNanoCapitalised", Repo::chatterboxNano, "Extended", kChatterboxNanoStandard},
    {"chatterboxNanoExtended",
     Repo::chatterboxNano,
     "extended",
     {"T3Nano-Prefill-T512-M1536-fp16.mlmodelc", "T3Nano-Decode-M1536-fp16-stateful.mlmodelc",
      "FlowMean-N1000-fp16.mlmodelc", "HiFT-T2000-fp16.mlmodelc"}},
};

TEST(ModelNamesTest, RequiredModelNamesFollowTheRepositoryAndVariant) {
  for (const auto& c : kRequiredCases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> variant;
    if (c.variant) variant = *c.variant;
    EXPECT_EQ(ModelNames::getRequiredModelNames(c.repo, variant), c.expected);
  }
}

TEST(ModelNamesTest, EveryRepositoryHasARequiredSet) {
  for (Repo repo : Repo::allCases()) {
    if (repo == Repo::luxtts) continue;  // depends on the environment; checked below
    SCOPED_TRACE(std::string(repo.rawValue()));
    EXPECT_FALSE(ModelNames::getRequiredModelNames(repo).empty());
  }
}

TEST(ModelNamesTest, ReturnedSetsAreCopiesThatCallersMayExtend) {
  auto names = ModelNames::getRequiredModelNames(Repo::vad);
  names.insert("extra.json");
  auto fixed = ModelNames::CTC::requiredModels();
  fixed.insert("extra.json");

  EXPECT_EQ(ModelNames::getRequiredModelNames(Repo::vad),
            NameSet{"silero-vad-unified-256ms-v6.2.1.mlmodelc"});
  EXPECT_EQ(ModelNames::getRequiredModelNames(Repo::parakeetCtc06b), kCtc);
}

TEST(ModelNamesTest, RecogniserNameBuilders) {
  using ModelNames::ParakeetUnified::streamingEncoderFile;
  struct Case {
    const char* name;
    std::string actual;
    const char* expected;
  };
  const Case cases[] = {
      {"streamingInt8", streamingEncoderFile(UnifiedEncoderPrecision::int8, "70_13_13"),
       "parakeet_unified_encoder_streaming_70_13_13_int8.mlmodelc"},
      {"streamingFp16", streamingEncoderFile(UnifiedEncoderPrecision::fp16, "70_13_13"),
       "parakeet_unified_encoder_streaming_70_13_13.mlmodelc"},
      {"streamingInt8EmptySuffix", streamingEncoderFile(UnifiedEncoderPrecision::int8, ""),
       "parakeet_unified_encoder_streaming__int8.mlmodelc"},
      {"streamingFp16EmptySuffix", streamingEncoderFile(UnifiedEncoderPrecision::fp16, ""),
       "parakeet_unified_encoder_streaming_.mlmodelc"},
      {"offlineInt8",
       ModelNames::ParakeetUnified::offlineEncoderFile(UnifiedEncoderPrecision::int8),
       "parakeet_unified_encoder_int8.mlmodelc"},
      {"offlineFp16",
       ModelNames::ParakeetUnified::offlineEncoderFile(UnifiedEncoderPrecision::fp16),
       "parakeet_unified_encoder.mlmodelc"},
      {"vocabularyOfJapaneseRepo", ModelNames::ASR::vocabulary(Repo::parakeetJa),
       "parakeet_vocab.json"},
      {"vocabularyOfV3Repo", ModelNames::ASR::vocabulary(Repo::parakeetV3), "parakeet_vocab.json"},
      {"japaneseVocabulary", std::string(ModelNames::TDTJa::vocabularyFile), "vocab.json"},
      {"japaneseDecoder", std::string(ModelNames::TDTJa::decoder), "Decoderv2"},
      {"japaneseJoint", std::string(ModelNames::TDTJa::joint), "Jointerv2"},
      {"lfm3Compiled", ModelNames::LFM3Audio::compiledModelFile(ModelNames::LFM3Audio::encoder),
       "coreml/AudioEncoder-fp16.mlmodelc"},
      {"lfm3Bundle", ModelNames::LFM3Audio::coreAIBundleFile("X"), "coreai/X.aimodel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
  EXPECT_EQ(ModelNames::LFM3Audio::coreAIBundleFiles("X"),
            (std::vector<std::string>{"coreai/X.aimodel/main.mlirb", "coreai/X.aimodel/main.hash",
                                      "coreai/X.aimodel/metadata.json"}));
}

TEST(ModelNamesTest, ParakeetEncoderPrecisionParsesExactRawValues) {
  struct Case {
    const char* text;
    std::optional<ParakeetEncoderPrecision> expected;
  };
  const Case cases[] = {{"int8", ParakeetEncoderPrecision::int8},
                        {"int8-v2", ParakeetEncoderPrecision::int8V2},
                        {"int4", ParakeetEncoderPrecision::int4},
                        {"int8V2", std::nullopt},
                        {"INT4", std::nullopt},
                        {"", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = ParakeetEncoderPrecision::fromRawValue(c.text);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value());
    if (parsed) {
      EXPECT_EQ(*parsed, *c.expected);
    }
  }
  auto all = ParakeetEncoderPrecision::allCases();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].encoderFileName(), "Encoder.mlmodelc");
  EXPECT_EQ(all[1].encoderFileName(), "Encoder_v2.mlmodelc");
  EXPECT_EQ(all[2].encoderFileName(), "EncoderInt4.mlmodelc");
}

TEST(ModelNamesTest, SortformerVariantsNameTheirModelFiles) {
  using ModelNames::Sortformer::ModelPrecision;
  using ModelNames::Sortformer::Variant;
  struct Case {
    Variant variant;
    const char* name;
  };
  const Case cases[] = {
      {Variant::fastV2, "Sortformer_v2"},
      {Variant::fastV2_1, "Sortformer_v2.1"},
      {Variant::balancedV2, "SortformerNvidiaLow_v2"},
      {Variant::balancedV2_1, "SortformerNvidiaLow_v2.1"},
      {Variant::highContextV2, "SortformerNvidiaHigh_v2"},
      {Variant::highContextV2_1, "SortformerNvidiaHigh_v2.1"},
      {Variant::efficientV2_1, "SortformerEfficient_v2.1"},
  };
  auto all = Variant::allCases();
  ASSERT_EQ(all.size(), std::size(cases));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(all[i], c.variant);
    EXPECT_EQ(c.variant.name(), c.name);
    EXPECT_EQ(c.variant.fileName(), fmt::format("v3/fp16/{}.mlmodelc", c.name));
    EXPECT_EQ(c.variant.fileName(ModelPrecision::palettized),
              fmt::format("v3/palettized/{}.mlmodelc", c.name));
    EXPECT_EQ(ModelNames::Sortformer::bundle(c.variant), c.variant.fileName());
  }
  EXPECT_EQ(ModelNames::Sortformer::defaultBundle,
            ModelNames::Sortformer::bundle(ModelNames::Sortformer::defaultVariant));
  EXPECT_EQ(ModelNames::Sortformer::offlineBundle(ModelPrecision::fp16),
            "v3/fp16/SortformerOffline_v2.1.mlmodelc");
  EXPECT_EQ(ModelNames::Sortformer::offlineBundle(ModelPrecision::palettized),
            "v3/palettized/SortformerOffline_v2.1.mlmodelc");
}

TEST(ModelNamesTest, SortformerPrecisionParsesExactRawValues) {
  using ModelNames::Sortformer::ModelPrecision;
  auto palettized = ModelPrecision::fromRawValue("palettized");
  ASSERT_TRUE(palettized.has_value());
  EXPECT_EQ(*palettized, ModelPrecision::palettized);
  EXPECT_EQ(palettized->subdirectory(), "v3/palettized");
  EXPECT_EQ(ModelPrecision::fromRawValue("fp16").value(), ModelPrecision::fp16);
  EXPECT_FALSE(ModelPrecision::fromRawValue("Palettized").has_value());
  EXPECT_FALSE(ModelPrecision::fromRawValue("v3/fp16").has_value());
}

TEST(ModelNamesTest, SortformerBundleOfConfigurationFollowsVariantAndPrecision) {
  SortformerConfig config = SortformerConfig::balancedV2_1();
  EXPECT_EQ(ModelNames::Sortformer::bundle(config), "v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc");
  config.precision = ModelNames::Sortformer::ModelPrecision::palettized;
  EXPECT_EQ(ModelNames::Sortformer::bundle(config),
            "v3/palettized/SortformerNvidiaLow_v2.1.mlmodelc");
  config.modelVariant.reset();
  EXPECT_EQ(ModelNames::Sortformer::bundle(config), std::nullopt);
}

TEST(ModelNamesTest, SortformerVariantGivesACopyOfItsPreset) {
  using ModelNames::Sortformer::Variant;
  struct Case {
    Variant variant;
    const SortformerConfig& preset;
  };
  const Case cases[] = {
      {Variant::fastV2, SortformerConfig::fastV2()},
      {Variant::fastV2_1, SortformerConfig::fastV2_1()},
      {Variant::balancedV2, SortformerConfig::balancedV2()},
      {Variant::balancedV2_1, SortformerConfig::balancedV2_1()},
      {Variant::highContextV2, SortformerConfig::highContextV2()},
      {Variant::highContextV2_1, SortformerConfig::highContextV2_1()},
      {Variant::efficientV2_1, SortformerConfig::efficientV2_1()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variant.name()));
    SortformerConfig copy = c.variant.defaultConfiguration();
    EXPECT_EQ(copy, c.preset);
    EXPECT_EQ(copy.modelVariant, c.variant);
    EXPECT_TRUE(c.variant.isCompatible(copy));
    copy.fifoLen += 1;
    EXPECT_NE(c.variant.defaultConfiguration(), copy);
  }
}

TEST(ModelNamesTest, SortformerCompatibilityComparesSpanFifoAndCache) {
  using ModelNames::Sortformer::Variant;
  auto adjusted = [](auto change) {
    SortformerConfig config = SortformerConfig::balancedV2_1();
    change(config);
    return config;
  };
  struct Case {
    const char* name;
    SortformerConfig config;
    bool compatible;
  };
  const Case cases[] = {
      {"samePreset", SortformerConfig::balancedV2_1(), true},
      {"spanSplitDifferently", adjusted([](SortformerConfig& c) {
         c.chunkLen = 7;
         c.chunkLeftContext = 0;
         c.chunkRightContext = 7;
       }),
       true},
      {"sameProductOtherSubsampling", adjusted([](SortformerConfig& c) {
         c.chunkLen = 12;
         c.chunkLeftContext = 2;
         c.chunkRightContext = 14;
         c.subsamplingFactor = 4;
       }),
       true},
      {"otherFieldsIgnored", adjusted([](SortformerConfig& c) {
         c.numSpeakers = 2;
         c.spkcacheUpdatePeriod = 7;
         c.silenceThreshold = 0.9f;
         c.modelVariant = Variant::fastV2;
         c.precision = ModelNames::Sortformer::ModelPrecision::palettized;
       }),
       true},
      {"longerSpan", adjusted([](SortformerConfig& c) { c.chunkRightContext = 8; }), false},
      {"otherFifo", adjusted([](SortformerConfig& c) { c.fifoLen = 40; }), false},
      {"otherCache", adjusted([](SortformerConfig& c) { c.spkcacheLen = 187; }), false},
      {"fastPreset", SortformerConfig::fastV2_1(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ModelNames::Sortformer::Variant(Variant::balancedV2_1).isCompatible(c.config),
              c.compatible);
  }
}

TEST(ModelNamesTest, LseendStepSizesCountHundredsOfMilliseconds) {
  using ModelNames::LSEEND::StepSize;
  struct Case {
    int rawValue;
    const char* description;  // nullptr: no step size
  };
  const Case cases[] = {{0, nullptr},     {1, "100ms"}, {2, "200ms"},   {3, "300ms"},
                        {4, "400ms"},     {5, "500ms"}, {6, nullptr},   {100, nullptr},
                        {-1, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rawValue);
    auto step = StepSize::fromRawValue(c.rawValue);
    if (c.description == nullptr) {
      EXPECT_FALSE(step.has_value());
    } else {
      ASSERT_TRUE(step.has_value());
      EXPECT_EQ(step->description(), c.description);
      EXPECT_EQ(step->rawValue(), c.rawValue);
    }
  }
}

TEST(ModelNamesTest, LseendVariantsNameFilesAndRepositories) {
  using ModelNames::LSEEND::StepSize;
  using ModelNames::LSEEND::Variant;
  struct Case {
    Variant variant;
    const char* description;
    Repo repo;
  };
  const Case cases[] = {
      {Variant::ami, "ls_eend_ami", Repo::lseendAmi},
      {Variant::callhome, "ls_eend_ch", Repo::lseendCallHome},
      {Variant::dihard2, "ls_eend_dih2", Repo::lseendDihard2},
      {Variant::dihard3, "ls_eend_dih3", Repo::lseendDihard3},
  };
  auto all = Variant::allCases();
  ASSERT_EQ(all.size(), std::size(cases));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.description);
    EXPECT_EQ(all[i], c.variant);
    EXPECT_EQ(c.variant.description(), c.description);
    EXPECT_EQ(c.variant.name(), c.description);
    EXPECT_EQ(c.variant.repo(), c.repo);
  }
  Variant callhome = Variant::callhome;
  EXPECT_EQ(callhome.name(StepSize::step500ms), "ls_eend_ch_500ms");
  EXPECT_EQ(callhome.fileName(StepSize::step500ms), "500ms/ls_eend_ch_500ms.mlmodelc");
  EXPECT_EQ(ModelNames::LSEEND::bundle(Variant::ami, StepSize::step200ms),
            std::vector<std::string>{"200ms/ls_eend_ami_200ms.mlmodelc"});
  EXPECT_EQ(ModelNames::LSEEND::defaultBundle(),
            std::vector<std::string>{"100ms/ls_eend_dih3_100ms.mlmodelc"});
}

TEST(ModelNamesTest, LocalVqeFilesAndKeys) {
  struct Case {
    LocalVqeVariant variant;
    LocalVqeChunk chunk;
    const char* file;
    const char* key;
  };
  const Case cases[] = {
      {LocalVqeVariant::v13, LocalVqeChunk::realtime16ms, "localvqe-v1.3-4.8M-16ms.mlmodelc",
       "v1.3-16ms"},
      {LocalVqeVariant::v13, LocalVqeChunk::batch256ms, "localvqe-v1.3-4.8M-256ms.mlmodelc",
       "v1.3-256ms"},
      {LocalVqeVariant::v12, LocalVqeChunk::realtime16ms, "localvqe-v1.2-1.3M-16ms.mlmodelc",
       "v1.2-16ms"},
      {LocalVqeVariant::v12, LocalVqeChunk::batch256ms, "localvqe-v1.2-1.3M-256ms.mlmodelc",
       "v1.2-256ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(ModelNames::LocalVQE::modelFile(c.variant, c.chunk), c.file);
    EXPECT_EQ(ModelNames::LocalVQE::variantKey(c.variant, c.chunk), c.key);
  }
}

TEST(ModelNamesTest, SpeechSynthesisNameBuilders) {
  using namespace ModelNames;
  struct Case {
    const char* name;
    std::string actual;
    const char* expected;
  };
  const Case cases[] = {
      {"estimatorPlain", Supertonic3::vectorEstimatorFile(), "VectorEstimator_v2.mlmodelc"},
      {"estimatorBucket", Supertonic3::vectorEstimatorFile(std::nullopt, 256),
       "VectorEstimatorVariants/VectorEstimator_v2_L256.mlmodelc"},
      {"estimatorSuffix", Supertonic3::vectorEstimatorFile("int8"),
       "VectorEstimatorVariants/VectorEstimator_v2_int8.mlmodelc"},
      {"estimatorBoth", Supertonic3::vectorEstimatorFile("int8", 256),
       "VectorEstimatorVariants/VectorEstimator_v2_L256_int8.mlmodelc"},
      {"estimatorEmptySuffix", Supertonic3::vectorEstimatorFile(""),
       "VectorEstimatorVariants/VectorEstimator_v2_.mlmodelc"},
      {"estimatorNameBoth", Supertonic3::vectorEstimatorName("q", 512), "VectorEstimator_v2_L512_q"},
      {"estimatorNamePlain", Supertonic3::vectorEstimatorName(), "VectorEstimator_v2"},
      {"synthesizer2048", Inflect::synthesizerFile(2048), "synthesizer_f2048.mlmodelc"},
      {"synthesizerNegative", Inflect::synthesizerFile(-1), "synthesizer_f-1.mlmodelc"},
      {"luxTextEncoder", LuxTts::textEncoderFile("gpu"), "gpu/TextEncoder.mlmodelc"},
      {"luxFmDecoder", LuxTts::fmDecoderFile("ane"), "ane/FmDecoder.mlmodelc"},
      {"pocketStepFp16", std::string(PocketTTS::flowlmStepFile(PocketTtsPrecision::fp16)),
       "flowlm_step.mlmodelc"},
      {"pocketStepInt8", std::string(PocketTTS::flowlmStepFile(PocketTtsPrecision::int8)),
       "flowlm_stepv2.mlmodelc"},
      {"pocketStepPlain", std::string(PocketTTS::flowlmStepFile()), "flowlm_step.mlmodelc"},
      {"mimiEncoder", std::string(PocketTTS::mimiEncoder), "mimi_encoderv2"},
      {"mimiEncoderV3", std::string(PocketTTS::mimiEncoderV3), "mimi_encoderv3"},
      {"chatterboxVocoder", std::string(Chatterbox::vocoderFile), "HiFT-T1000-fp16.mlmodelc"},
      {"chatterboxNanoVocoder", std::string(ChatterboxNano::vocoderFile),
       "HiFT-T1000-fp16.mlmodelc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
  EXPECT_TRUE(StyleTTS2::bucketModels(100).empty());
  EXPECT_TRUE(Nemotron3::weightsVersionFile.starts_with("."));
}

TEST(ModelNamesTest, PocketTtsSetsFollowPlacementAndPrecision) {
  using ModelNames::PocketTTS::requiredModels;
  const NameSet ane = {"cond_prefill_ane.mlmodelc", "flowlm_step_ane.mlmodelc",
                       "flow_decoder_fused.mlmodelc", "mimi_decoder.mlmodelc", "constants_bin"};
  const NameSet aneState = {"pocket_state.mlmodelc", "mimi_decoder.mlmodelc", "constants_bin"};
  EXPECT_EQ(requiredModels(PocketTtsPrecision::int8),
            (NameSet{"cond_prefill.mlmodelc", "flowlm_stepv2.mlmodelc",
                     "flow_decoder_fused.mlmodelc", "mimi_decoder.mlmodelc", "constants_bin"}));
  EXPECT_EQ(requiredModels(PocketTtsPrecision::fp16), requiredModels());
  EXPECT_EQ(requiredModels(PocketTtsPrecision::fp16, PocketTtsModelPlacement::ane), ane);
  EXPECT_EQ(requiredModels(PocketTtsPrecision::int8, PocketTtsModelPlacement::ane), ane);
  EXPECT_EQ(requiredModels(PocketTtsPrecision::int8, PocketTtsModelPlacement::aneState), aneState);
}

TEST(ModelNamesTest, SpeechSynthesisEnumerationsParseExactRawValues) {
  auto placement = PocketTtsModelPlacement::fromRawValue("ane-state");
  ASSERT_TRUE(placement.has_value());
  EXPECT_EQ(*placement, PocketTtsModelPlacement::aneState);
  EXPECT_FALSE(PocketTtsModelPlacement::fromRawValue("aneState").has_value());
  EXPECT_EQ(PocketTtsModelPlacement::fromRawValue("gpu").value(), PocketTtsModelPlacement::gpu);

  auto capacity = ChatterboxNanoOutputCapacity::fromRawValue("extended");
  ASSERT_TRUE(capacity.has_value());
  EXPECT_EQ(capacity->flowTokenBucket(), 1000);
  EXPECT_EQ(capacity->melFrameBucket(), 2000);
  EXPECT_FALSE(ChatterboxNanoOutputCapacity::fromRawValue("Extended").has_value());
  auto all = ChatterboxNanoOutputCapacity::allCases();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], ChatterboxNanoOutputCapacity::standard);
  EXPECT_EQ(all[0].flowTokenBucket(), 500);
  EXPECT_EQ(all[0].melFrameBucket(), 1000);
  // The buckets are the sizes in the capacity's file names.
  for (auto c : all) {
    auto files = ModelNames::ChatterboxNano::requiredModels(c);
    EXPECT_TRUE(files.contains(fmt::format("FlowMean-N{}-fp16.mlmodelc", c.flowTokenBucket())));
    EXPECT_TRUE(files.contains(fmt::format("HiFT-T{}-fp16.mlmodelc", c.melFrameBucket())));
  }
}

// Each test runs in a process of its own, so changing the environment here stays here.
class LuxTtsTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(kVariable); }

  static void setVariable(const char* value) {
    if (value == nullptr) {
      unsetenv(kVariable);
    } else {
      setenv(kVariable, value, 1);
    }
  }

  static constexpr const char* kVariable = "TESSELAUDIO_LUXTTS_VARIANT";
};

TEST_F(LuxTtsTest, EnvironmentChoosesTheDefaultVariantOnEveryCall) {
  struct Case {
    const char* name;
    const char* value;  // nullptr: unset
    std::optional<std::string> override;
    const char* variant;
  };
  const Case cases[] = {
      {"unset", nullptr, std::nullopt, "gpu"},
      {"ane", "ane", "ane", "ane"},
      {"paddedUpperCase", " ANE\n", "ane", "ane"},
      {"gpu", "GPU\t", "gpu", "gpu"},
      {"ideographicSpace", "\u3000ane", "ane", "ane"},
      {"otherWord", "cpu", std::nullopt, "gpu"},
      {"empty", "", std::nullopt, "gpu"},
      {"innerBlank", "a ne", std::nullopt, "gpu"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setVariable(c.value);
    EXPECT_EQ(ModelNames::LuxTts::variantOverride(), c.override);
    EXPECT_EQ(ModelNames::LuxTts::defaultVariant(), c.variant);
    auto files = ModelNames::getRequiredModelNames(Repo::luxtts);
    EXPECT_EQ(files, (NameSet{fmt::format("{}/TextEncoder.mlmodelc", c.variant),
                              fmt::format("{}/FmDecoder.mlmodelc", c.variant),
                              "vocoder/Vocoder282.mlmodelc", "vocoder/Vocoder555.mlmodelc",
                              "tokens.txt", "config.json"}));
  }
}

TEST_F(LuxTtsTest, GivenVariantIgnoresTheEnvironment) {
  setVariable("ane");
  auto files = ModelNames::getRequiredModelNames(Repo::luxtts, "GPU");
  EXPECT_TRUE(files.contains("GPU/TextEncoder.mlmodelc"));
  EXPECT_TRUE(files.contains("GPU/FmDecoder.mlmodelc"));
  EXPECT_FALSE(files.contains("ane/TextEncoder.mlmodelc"));
}

}  // namespace
}  // namespace tesselaudio
