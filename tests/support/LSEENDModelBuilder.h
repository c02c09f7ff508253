#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the LS-EEND streaming diarizer model, built in code with the real model contract:
// inputs "features", "enc_kv", "enc_scale", "enc_conv_cache", "cnn_window", "dec_kv", "dec_scale",
// "valid_mask"; outputs "probs" and one "<state>_new" per state input; the sizes in the "config"
// entry of the model's metadata.
namespace testsupport {

// The sizes a model is built for (the test support does not link the speech library). Defaults:
// a tiny model whose chunk needs 25 feature frames.
struct LSEENDModelSizes {
  std::int64_t chunkSize = 10;
  float frameDurationSeconds = 0.02f;
  std::int64_t maxSpeakers = 4;
  std::int64_t sampleRate = 16000;
  std::int64_t maxNspks = 4;
  std::int64_t hopLength = 160;
  std::int64_t winLength = 400;
  std::int64_t nMels = 16;
  std::int64_t contextSize = 3;
  std::int64_t subsampling = 2;
  std::int64_t convDelay = 2;
  std::int64_t nUnits = 8;
  std::int64_t nHeads = 2;
  std::int64_t encNLayers = 1;
  std::int64_t decNLayers = 1;
  std::int64_t convKernelSize = 3;

  std::int64_t melFrames() const { return (chunkSize - 1) * subsampling + 2 * contextSize + 1; }
  std::int64_t headDim() const { return nUnits / nHeads; }
  // The "config" text: the sixteen snake_case keys.
  std::string configJSON() const;
};

// How the stand-in turns features into probabilities:
// probs[t][s] = sigmoid(alpha × (feature[contextSize + subsampling × t][band s] − theta)).
struct LSEENDToneOracle {
  float alpha = 1.0f;
  float theta = 0.0f;
  // When set, the call whose "enc_scale_new" reaches this value fails, and so does every later one
  // (a Gather indexed by the counter runs out of range): from a zeroed state, call number N.
  std::optional<std::int64_t> failAtCounter = std::nullopt;
};

// The mel band that speaker s listens to, and the frequency in Hz at the centre of that band (of
// a Slaney mel filterbank of nMels bands from 0 Hz to half the sample rate): a tone there is that
// speaker talking.
std::int64_t lseendSpeakerBand(int speaker);
double lseendSpeakerFrequency(int speaker, const LSEENDModelSizes& sizes = {});

// The stand-in: "probs" as the oracle says, every "<state>_new" = "<state>" + 1, "valid_mask"
// read by nothing. `config` goes under "config" in metadata.json's creator-defined entries; none
// leaves the entry out.
ModelBuilder lseendToneModel(const LSEENDModelSizes& sizes = {}, const LSEENDToneOracle& oracle = {});
ModelBuilder lseendToneModel(const LSEENDModelSizes& sizes, const LSEENDToneOracle& oracle,
                             const std::optional<std::string>& config);

// The hub repository of every LS-EEND variant, and the repository path of the dih3 model at 100 ms.
inline constexpr const char* kLSEENDRepo = "TesselInference/ls-eend-coreml";
inline constexpr const char* kLSEENDDih3Path = "optimized/dih3/100ms/ls_eend_dih3_100ms.mlmodelc";

// Where a finished download of the dih3 model at 100 ms lies under the models root.
std::filesystem::path lseendDih3Bundle(const std::filesystem::path& modelsRoot);

// Writes `model` there, so that loading it asks the hub for nothing. Returns the bundle's folder.
std::filesystem::path installLSEENDBundle(const ModelBuilder& model, const std::filesystem::path& modelsRoot);

}  // namespace testsupport
