#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the Parakeet TDT networks, built in code with the real feature names, element
// types and shapes.
namespace testsupport {

// A joint network whose answers the test scripts through the encoder frame it is given: the
// class is encoder_step[0] rounded, the duration class encoder_step[1] rounded.
//   inputs   "encoder_step" float32 [1, hiddenSize, 1]; "decoder_step" float32 [1, 640, 1] (unused)
//   outputs  "token_id" int32 [1, 1, 1] = tokenIds[class]; "token_prob" float32 [1, 1, 1] =
//            probabilities[class]; "duration" int32 [1, 1, 1] = the duration class;
//            with top-K: "top_k_ids" int32 [topK], "top_k_logits" float32 [topK], the topK
//            greatest of logits[class] (ties keep the lower column first), each column's id
//            taken from logitIds.
struct ParakeetJointScript {
  std::int64_t hiddenSize = 1024;
  std::vector<std::int32_t> tokenIds;  // per class
  std::vector<float> probabilities;    // per class
  // Top-K rows, one per class, over the ids of logitIds; none when empty.
  std::vector<std::vector<float>> logits;
  std::vector<std::int32_t> logitIds;
  std::int64_t topK = 0;
  // Faults of a broken joint.
  bool withoutTokenId = false;
  bool withoutTopKLogits = false;
  bool twoElementProbability = false;
  ElementType topKIdsType = ElementType::int32;
  ElementType topKLogitsType = ElementType::float32;
  // "top_k_logits" one shorter than "top_k_ids".
  bool shortTopKLogits = false;
};

ModelBuilder parakeetJoint(const ParakeetJointScript& script);

// A prediction network that counts its runs.
//   inputs   "targets" int32 [1, 1]; "target_length" int32 [1]; "h_in", "c_in" float32 [layers, 1, 640]
//   outputs  "decoder" float32 [1, 640, 1] ([1, 1, 640] when wideOutput): row (targets mod 16) of a
//            table whose row r holds r + j / 1000 at j; "h_out" = "h_in" + 1, so that the hidden
//            state counts the runs since it was zeroed; "c_out" = "c_in"
struct ParakeetDecoderScript {
  std::int64_t layers = 2;
  bool wideOutput = false;
  // Names its projection "projection" instead of "decoder".
  bool withoutDecoderOutput = false;
};

ModelBuilder parakeetDecoder(const ParakeetDecoderScript& script);

// A preprocessor that declares its contract and passes the samples through.
//   inputs   "audio_signal" float32 [1, N]; "audio_length" int32 [1]
//   outputs  "mel" float32 [1, N] = the samples; "mel_length" int32 [1] = "audio_length"
ModelBuilder parakeetPreprocessor();

// An encoder of fixed-length "mel" inputs, with named functions built for other lengths.
//   inputs   "mel" float32 [1, 1, frames]; "mel_length" int32 [1]
//   outputs  "encoder" float32 [1, 1, frames] = "mel"; "encoder_length" int32 [1] = "mel_length"
struct ParakeetEncoderScript {
  std::int64_t melFrames = 1501;
  // Function name and its frames, in the order the bundle lists them.
  std::vector<std::pair<std::string, std::int64_t>> functions;
  // The function loaded when none is named; model.onnx when empty.
  std::string defaultFunction;
};

ModelBuilder parakeetEncoder(const ParakeetEncoderScript& script);

// Stand-ins that decode whole windows: a preprocessor whose "mel" is the energy of each 160-sample
// hop, an encoder that keeps every 8th mel frame and maps its energy to a joint class, and the
// scripted joint above. Audio held at level L over a 1,280-sample block decodes, for that encoder
// frame, as class round(energyScale x L^2).
//   preprocessor  "audio_signal" float32 [1, N] (N a multiple of 160), "audio_length" int32 [1] ->
//                 "mel" float32 [1, 1, N/160 + 1]
//                 (the mean square of each hop after 160 zeros are appended), "mel_length" int32 [1] =
//                 audio_length / 160 + 1
//   encoder       "mel" float32 [1, 1, F], "mel_length" int32 [1] -> "encoder" float32 [1, hidden, ceil(F/8)]
//                 (value 0 = energyScale x energy of every 8th frame, value 1 = durationClass, the rest 0),
//                 "encoder_length" int32 [1] = (mel_length + 7) / 8
struct ParakeetWindowScript {
  std::int64_t hiddenSize = 1024;
  double energyScale = 1000;
  std::int64_t durationClass = 1;
  // The joint's tokens and probabilities per class; class 0 should be the blank.
  std::vector<std::int32_t> tokenIds = {8192};
  std::vector<float> probabilities = {1.0f};
  // Encoder functions (name, mel frames) beside the default of 1,501 frames.
  std::vector<std::pair<std::string, std::int64_t>> functions = {{"enc_2000ms", 201}, {"enc_5000ms", 501}};
  // Variants.
  bool zeroMelUnlessWholeWindow = false;  // "mel" x 0 when audio_length < 240,000
  bool float16Mel = false;
  bool failOnWholeWindow = false;  // the preprocessor fails when audio_length is 240,000
  bool timeMajorEncoder = false;  // "encoder" as [1, time, hidden]
  bool fused = false;             // the preprocessor gives "encoder" and "encoder_length" itself
  bool heavyEncoder = false;      // one hidden x hidden MatMul per encoder frame (an identity)
  bool withoutEncoderOutput = false;
  bool withoutEncoderLength = false;
  // No "mel_length" anywhere; "encoder_length" is the encoder's frame count.
  bool withoutMelLength = false;
  // Further float32 [1] encoder inputs, unused by the network.
  std::vector<std::string> extraEncoderInputs;
};

ModelBuilder parakeetWindowPreprocessor(const ParakeetWindowScript& script);
ModelBuilder parakeetWindowEncoder(const ParakeetWindowScript& script);

// The stand-in files of one Parakeet model set, under the names of its cache folder.
struct ParakeetModelSet {
  std::string preprocessorFile = "Preprocessor.mlmodelc";
  std::string encoderFile = "Encoder.mlmodelc";  // empty for a fused front end
  std::string decoderFile = "Decoder.mlmodelc";
  std::string jointFile = "JointDecisionv3.mlmodelc";  // empty: none
  std::string vocabularyFile = "parakeet_vocab.json";
  std::string vocabulary;  // JSON text; empty: no vocabulary file
  std::int64_t decoderLayers = 2;
  ParakeetEncoderScript encoder;
  // When set, the window stand-ins above replace the preprocessor, encoder and joint.
  std::optional<ParakeetWindowScript> window;
};

// Writes the set's bundles and vocabulary directly into `folder` (created when missing), replacing
// bundles of the same names.
void writeParakeetModelSet(const std::filesystem::path& folder, const ParakeetModelSet& set);

// A vocabulary JSON array of `count` generated pieces ("t0", "t1", ...), with `pieces` in place of
// the generated ones at their ids.
std::string parakeetVocabulary(std::int64_t count, const std::map<std::int64_t, std::string>& pieces = {});

}  // namespace testsupport
