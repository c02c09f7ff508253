#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

// Scripted stand-ins for the step models of the streaming RNN-T recognisers, built in code with the
// real contract. Decoder: "targets" int32 [1, 1], "target_length" int32 [1], "h_in" and "c_in"
// float32 [1, 1, 640] → "decoder" float32 [1, 640, U], "h_out", "c_out". Joint: "encoder_step"
// float32 [1, 2, 1], "decoder_step" float32 [1, 640, 1] → "token_id" int32 [1, 1, 1]. Fused: "targets",
// "h_in", "c_in", "encoder_step" → "token_id", "h_out", "c_out".
//
// How they decide: the encoder output carries per frame the codes (ids) of two candidate tokens,
// the blank 1026 where the script has none, which the joint scores 3 and 2 beside the blank's 1.
// The decoder embeds its input token (its id in element 0 of its output's last step), which the
// joint turns into a penalty on every candidate equal to it before its ArgMax. So with the default
// penalty of -3 a scripted token is emitted once and then the next scripted token or the blank
// wins; with a penalty of 0 the first token repeats up to the symbol limit. The penalty lasts while
// the token is the last one emitted, so one token scripted on two frames in a row is emitted only
// on the first. "h_out" is "h_in" + 1 and "c_out" is "c_in" + 2, so the states count the steps
// taken.
namespace testsupport {

inline constexpr std::int64_t kTransducerBlankId = 1026;
inline constexpr std::int64_t kTransducerEouId = 1024;
inline constexpr std::int64_t kTransducerEncoderFeatures = 2;
inline constexpr std::int64_t kTransducerHidden = 640;

struct TransducerStandIn {
  // Added to the logit of the token the decoder was given.
  float penalty = -3;
  // U of the decoder's "decoder" output. Steps before the last embed a decoy, token 9, so that a
  // joint given one of them penalises the wrong token.
  std::int64_t decoderSteps = 1;
  // Outputs published under another name ("<name>_absent"), so that a reader finds them missing.
  std::set<std::string> missingOutputs;
  // The decoder and the fused model fail their evaluation (an index out of range) when given this
  // token as their last one, that is on the step after the token was emitted.
  std::optional<std::int64_t> failOnTarget;
};

ModelBuilder transducerDecoderModel(const TransducerStandIn& standIn = {});
ModelBuilder transducerJointModel(const TransducerStandIn& standIn = {});
ModelBuilder transducerFusedModel(const TransducerStandIn& standIn = {});

// The three stand-ins written under `folder` (in a subfolder per variant) and loaded.
struct TransducerModels {
  std::shared_ptr<const platform::MLModel> decoder;
  std::shared_ptr<const platform::MLModel> joint;
  std::shared_ptr<const platform::MLModel> fused;
};
TransducerModels loadTransducerStandIns(const std::filesystem::path& folder, const TransducerStandIn& standIn = {});

// An encoder output float32 [1, 2, T] for the stand-ins, one frame per entry of `script`: the
// tokens that frame should emit, in order (at most two; none for a blank frame). With `frameMajor`
// the array lies on caller memory in frame-major order (strides [2 T, 1, 2]), so that a reader must
// follow the strides.
std::shared_ptr<platform::MLMultiArray> transducerEncoderOutput(const std::vector<std::vector<std::int64_t>>& script,
                                                                bool frameMajor = false);

// A stand-in for the cache-aware streaming encoder of the end-of-utterance recogniser, with the
// real feature names and cache shapes: "audio_signal" float32 [1, 128, melFrames], "audio_length"
// int32 [1], "pre_cache" float32 [1, 128, preCacheSize], "cache_last_channel" float32
// [17, 1, 70, 512], "cache_last_time" float32 [17, 1, 512, 8], "cache_last_channel_len" int32 [1]
// → "encoded_output" float32 [1, 2, outputFrames] for the transducer stand-ins, and each cache + 1
// as "new_<cache>", so that the carry from window to window is visible.
//
// The script of the window is chosen by the mean of its log-mel features (ReduceMean, Greater):
// the last level whose threshold the mean exceeds; below every level all frames are blank. A
// window of zeros has a mean of about -16.6; white noise of amplitude 0.01 about -10.3, 0.5 about
// -2.5 (half a window of it, half zeros, about -9).
struct EouEncoderLevel {
  float above = 0;
  // Tokens per frame as for transducerEncoderOutput; frames past the script are blank.
  std::vector<std::vector<std::int64_t>> script;
};

struct EouEncoderStandIn {
  std::int64_t melFrames = 17;
  std::int64_t preCacheSize = 16;
  std::int64_t outputFrames = 2;
  // In ascending order of `above`.
  std::vector<EouEncoderLevel> levels;
  bool newPreCache = true;
  bool encodedOutput = true;
  // "encoded_output" as int32, which the recogniser must refuse.
  bool encodedAsInt32 = false;
};

// Named "streaming_encoder".
ModelBuilder eouStreamingEncoderModel(const EouEncoderStandIn& standIn);

// A complete end-of-utterance model folder: "streaming_encoder.mlmodelc", "decoder.mlmodelc",
// "joint_decision.mlmodelc", "vocab.json" (`vocabJson`), and with `fused`
// "decoder_joint_decision_fused.mlmodelc". Returns `folder`.
std::filesystem::path writeEouModelFolder(const std::filesystem::path& folder, const EouEncoderStandIn& encoder,
                                          const std::string& vocabJson, const TransducerStandIn& transducer = {},
                                          bool fused = false);

// Stand-ins of the English streaming Nemotron recogniser, with its feature names. Sizes come from
// the stand-in (and so from the test's "metadata.json"). Logits have blank + 1 values.
//
// Encoder: "mel" float32 [1, melFeatures, totalMelFrames], "mel_length" int32 [1], "cache_channel"
// and "cache_time" float32 of the cache shapes, "cache_len" int32 [1] → "encoded" float32
// [1, blank + 1, frames] and, each the input + 1, "cache_channel_out", "cache_time_out" and
// (optionally) "cache_len_out". The frames are the script of the level chosen by the mean of "mel"
// (as for the end-of-utterance encoder; zeros ≈ -16.6, loud noise ≈ -2.5). A script frame scores
// ids: tokenFrame(k) gives k 1 and the blank 0.5, blankFrame() the blank 3.
//
// Decoder: "token" int32 [1, 1], "token_length" int32 [1], "h_in", "c_in" float32 [L, 1, H] →
// "decoder_out" float32 [1, blank + 1, 1] = penalty at the id of "token", "h_out" = "h_in" + 1,
// "c_out" = "c_in" + 2. Joint: "encoder" [1, blank + 1, 1] + "decoder" [1, blank + 1, 1] →
// "logits". So with the default penalty a scripted token is emitted once per frame, then the blank
// wins; with a penalty of 0 it repeats up to the symbol limit. Fused: the decoder's inputs and
// "encoder" → "logits", "h_out", "c_out".
using NemotronScriptFrame = std::vector<std::pair<std::int64_t, float>>;

struct NemotronLevel {
  float above = 0;
  // Frames past the script are blank.
  std::vector<NemotronScriptFrame> script;
};

struct NemotronStandIn {
  std::int64_t blank = 1024;
  std::int64_t melFeatures = 128;
  std::int64_t totalMelFrames = 233;
  std::vector<std::int64_t> cacheChannelShape{1, 2, 3, 4};
  std::vector<std::int64_t> cacheTimeShape{1, 2, 4, 2};
  std::int64_t decoderLayers = 2;
  std::int64_t decoderHidden = 4;
  std::int64_t frames = 3;
  std::vector<NemotronLevel> levels;
  float penalty = -2;
  bool cacheLenOut = true;
  // Every "encoded" value 0, which the load probe refuses.
  bool zeroEncoder = false;
  // "encoded" as int32, or as [blank + 1, frames] without the batch dimension.
  bool encodedAsInt32 = false;
  bool encodedRank2 = false;
  // "encoded" has no frames at all when the mean of "mel" is not above this (the load probe's
  // input is, at about 0.18).
  std::optional<float> emptyAtOrBelow;
  // Outputs published under "<name>_absent".
  std::set<std::string> missingOutputs;
  // The decoder and the fused model fail when fed this token.
  std::optional<std::int64_t> failOnToken;
  bool fused = false;
};

// The stand-in models one at a time, named "decoder", "joint" and "decoder_joint".
ModelBuilder nemotronDecoderModel(const NemotronStandIn& standIn);
ModelBuilder nemotronJointModel(const NemotronStandIn& standIn);
ModelBuilder nemotronFusedModel(const NemotronStandIn& standIn);

NemotronScriptFrame nemotronTokenFrame(std::int64_t id, std::int64_t blank = 1024);
NemotronScriptFrame nemotronBlankFrame(std::int64_t blank = 1024);

// "encoder/encoder_int8.mlmodelc", "decoder.mlmodelc", "joint.mlmodelc", with `fused`
// "decoder_joint.mlmodelc", "tokenizer.json" (`vocabJson`) and, when given, "metadata.json".
std::filesystem::path writeNemotronModelFolder(const std::filesystem::path& folder, const NemotronStandIn& standIn,
                                               const std::string& vocabJson,
                                               const std::optional<std::string>& metadataJson);
// The metadata.json that matches the stand-in, with the given chunk geometry.
std::string nemotronMetadata(const NemotronStandIn& standIn, std::int64_t chunkMelFrames, std::int64_t chunkMs,
                             std::int64_t preEncodeCache = 9);

}  // namespace testsupport
