#include "tests/support/LSEENDModelBuilder.h"

#include <cmath>
#include <string>
#include <utility>

namespace testsupport {
namespace {

// Slaney's mel scale: linear below 1 kHz, logarithmic above.
double hzToMel(double hz) {
  constexpr double linearStep = 200.0 / 3.0;
  const double logStep = std::log(6.4) / 27.0;
  return hz < 1000 ? hz / linearStep : 15.0 + std::log(hz / 1000.0) / logStep;
}

double melToHz(double mel) {
  constexpr double linearStep = 200.0 / 3.0;
  const double logStep = std::log(6.4) / 27.0;
  return mel < 15.0 ? mel * linearStep : 1000.0 * std::exp(logStep * (mel - 15.0));
}

TensorValue ints(std::vector<double> values) {
  const auto count = static_cast<int64_t>(values.size());
  return {ElementType::int64, {count}, std::move(values)};
}

struct StateInput {
  const char* name;
  std::vector<int64_t> dims;
};

std::vector<StateInput> stateInputs(const LSEENDModelSizes& s) {
  const int64_t head = s.headDim();
  return {
      {"enc_kv", {s.encNLayers, 1, s.nHeads, head, head}},
      {"enc_scale", {s.encNLayers, 1}},
      {"enc_conv_cache", {s.encNLayers, 1, s.convKernelSize, s.nUnits}},
      {"cnn_window", {1, s.nUnits, 2 * s.convDelay}},
      {"dec_kv", {s.decNLayers, s.maxNspks, s.nHeads, head, head}},
      {"dec_scale", {s.decNLayers, 1}},
  };
}

}  // namespace

std::string LSEENDModelSizes::configJSON() const {
  return "{\"chunk_size\": " + std::to_string(chunkSize) +
         ", \"frame_duration_seconds\": " + std::to_string(frameDurationSeconds) +
         ", \"max_speakers\": " + std::to_string(maxSpeakers) + ", \"sample_rate\": " + std::to_string(sampleRate) +
         ", \"max_nspks\": " + std::to_string(maxNspks) + ", \"hop_length\": " + std::to_string(hopLength) +
         ", \"win_length\": " + std::to_string(winLength) + ", \"n_mels\": " + std::to_string(nMels) +
         ", \"context_size\": " + std::to_string(contextSize) + ", \"subsampling\": " + std::to_string(subsampling) +
         ", \"conv_delay\": " + std::to_string(convDelay) + ", \"n_units\": " + std::to_string(nUnits) +
         ", \"n_heads\": " + std::to_string(nHeads) + ", \"enc_n_layers\": " + std::to_string(encNLayers) +
         ", \"dec_n_layers\": " + std::to_string(decNLayers) +
         ", \"conv_kernel_size\": " + std::to_string(convKernelSize) + "}";
}

std::int64_t lseendSpeakerBand(int speaker) { return 2 + 3 * speaker; }

double lseendSpeakerFrequency(int speaker, const LSEENDModelSizes& sizes) {
  const double top = hzToMel(static_cast<double>(sizes.sampleRate) / 2);
  const double centre = top * static_cast<double>(lseendSpeakerBand(speaker) + 1) / static_cast<double>(sizes.nMels + 1);
  return melToHz(centre);
}

ModelBuilder lseendToneModel(const LSEENDModelSizes& sizes, const LSEENDToneOracle& oracle) {
  return lseendToneModel(sizes, oracle, sizes.configJSON());
}

ModelBuilder lseendToneModel(const LSEENDModelSizes& s, const LSEENDToneOracle& oracle,
                             const std::optional<std::string>& config) {
  ModelBuilder model("ls_eend_dih3_100ms");
  model.input("features", ElementType::float32, {1, s.melFrames(), s.nMels});
  for (const auto& state : stateInputs(s)) model.input(state.name, ElementType::float32, state.dims);
  model.input("valid_mask", ElementType::float32, {s.chunkSize});

  model.output("probs", ElementType::float32, {1, s.chunkSize, s.maxSpeakers});
  for (const auto& state : stateInputs(s)) model.output(std::string(state.name) + "_new", ElementType::float32, state.dims);

  std::vector<double> weights(static_cast<size_t>(s.nMels * s.maxSpeakers), 0.0);
  for (int speaker = 0; speaker < s.maxSpeakers; ++speaker) {
    const int64_t band = lseendSpeakerBand(speaker);
    if (band < s.nMels) weights[static_cast<size_t>(band * s.maxSpeakers + speaker)] = 1.0;
  }
  model.initializer("starts", ints({static_cast<double>(s.contextSize)}))
      .initializer("ends", ints({static_cast<double>(s.contextSize + s.subsampling * s.chunkSize)}))
      .initializer("axes", ints({1}))
      .initializer("steps", ints({static_cast<double>(s.subsampling)}))
      .initializer("bands", {ElementType::float32, {s.nMels, s.maxSpeakers}, weights})
      .initializer("theta", {ElementType::float32, {1}, {oracle.theta}})
      .initializer("alpha", {ElementType::float32, {1}, {oracle.alpha}})
      .initializer("one", {ElementType::float32, {1}, {1.0}})
      .node("Slice", {"features", "starts", "ends", "axes", "steps"}, {"frames"})
      .node("MatMul", {"frames", "bands"}, {"picked"})
      .node("Sub", {"picked", "theta"}, {"centred"})
      .node("Mul", {"centred", "alpha"}, {"scaled"})
      .node("Sigmoid", {"scaled"}, {oracle.failAtCounter ? "sigmoids" : "probs"});
  for (const auto& state : stateInputs(s)) {
    model.node("Add", {state.name, "one"}, {std::string(state.name) + "_new"});
  }
  if (oracle.failAtCounter) {
    // A table of zeros with one entry per counter value below the limit; adding the entry leaves
    // the probabilities as they are until the index runs out of the table.
    model.initializer("counterTable", {ElementType::float32, {*oracle.failAtCounter},
                                       std::vector<double>(static_cast<size_t>(*oracle.failAtCounter), 0.0)})
        .node("Cast", {"enc_scale_new"}, {"counter"}, {Attribute("to", 7)})
        .node("Gather", {"counterTable", "counter"}, {"counterEntry"})
        .node("Add", {"sigmoids", "counterEntry"}, {"probs"});
  }
  if (config) model.creatorDefined("config", *config);
  return model;
}

std::filesystem::path lseendDih3Bundle(const std::filesystem::path& modelsRoot) {
  return modelsRoot / "ls-eend" / "dih3" / kLSEENDDih3Path;
}

std::filesystem::path installLSEENDBundle(const ModelBuilder& model, const std::filesystem::path& modelsRoot) {
  return model.installBundle(lseendDih3Bundle(modelsRoot));
}

}  // namespace testsupport
