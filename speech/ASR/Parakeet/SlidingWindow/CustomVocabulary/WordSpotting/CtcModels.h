#pragma once

// Folder of one variant, below the models root (MLModelConfigurationUtils::defaultModelsDirectory()):
//
//   parakeet-ctc-110m-coreml/          (or parakeet-ctc-0.6b-coreml/)
//     MelSpectrogram.mlmodelc          audio to features, loaded for the CPU only
//     AudioEncoder.mlmodelc            features to CTC logits over the vocabulary and the blank
//     vocab.json                       {"<decimal token id>": "<piece>", ...}
//     tokenizer.json                   the BPE tokenizer (see CtcTokenizer)

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModelVariant.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// The loaded CTC spotter model set: the mel-spectrogram front end and the audio encoder with its CTC
// head, shared read-only by every copy, with the head's vocabulary. The static operations keep no
// state and may run on any thread; those that download or load block their caller and stop at
// `stop` with platform::CancellationError.
//
//   auto models = CtcModels::downloadAndLoad(std::nullopt, CtcModelVariant::ctc110m, stop);
//   CtcKeywordSpotter spotter(models, static_cast<int>(models.vocabulary.size()));
struct CtcModels {
  std::shared_ptr<const platform::MLModel> melSpectrogram;
  std::shared_ptr<const platform::MLModel> encoder;
  // The encoder's configuration (defaultConfiguration()).
  platform::MLModelConfiguration configuration;
  std::map<std::int64_t, std::string> vocabulary;
  CtcModelVariant variant = CtcModelVariant::ctc110m;

  // The variant's folder below the default models root. Throws
  // CtcTokenizer::Error::applicationSupportNotFound when that is not an absolute path.
  static std::filesystem::path defaultCacheDirectory(CtcModelVariant for_);

  // New objects on every call: the encoder's (cpuAndNeuralEngine) and the mel model's (cpuOnly),
  // both allowing low-precision accumulation on the GPU.
  static platform::MLModelConfiguration defaultConfiguration();
  static platform::MLModelConfiguration melSpectrogramConfiguration();

  // True when both model folders and "vocab.json" exist in `at`; nothing else is checked.
  static bool modelsExist(const std::filesystem::path& at);

  // Makes sure the variant's repository folder below the target's parent is complete: the target is
  // `to`, or defaultCacheDirectory(variant). Without `force` a target for which modelsExist holds
  // is returned at once, without a request. With `force` only <target's parent>/<folder name> is
  // deleted first; a target of another name is never removed. Fetches each model by one
  // ModelHub::loadModels call (its recovery included) and discards the loaded models; fetches
  // "vocab.json" when the repository folder lacks it (not in offline mode).
  // Returns the target.
  // Throws the hub's error unchanged (CancellationError included).
  static std::filesystem::path download(const std::optional<std::filesystem::path>& to, CtcModelVariant variant,
                                        bool force = false, std::stop_token stop = {});

  // Loads both models through the hub from <parent of `from`>/<folder name> (downloading or
  // repairing the cache as ModelHub::loadModels does, and fetching a missing "vocab.json" as
  // download() does), then the vocabulary of that same folder.
  // Throws the hub's error unchanged; AsrModelsError::loadingFailed when the hub returns no model
  // of the name; the errors of the vocabulary (see loadVocabulary).
  static CtcModels load(const std::filesystem::path& from, CtcModelVariant variant, std::stop_token stop = {});

  // download(to, variant, false) then load() on the folder it returned.
  static CtcModels downloadAndLoad(const std::optional<std::filesystem::path>& to, CtcModelVariant variant,
                                   std::stop_token stop = {});

  // Loads both models and the vocabulary from `from` itself, without the hub. A model that fails
  // to load is compiled once (MLModel::compileModel on the same folder) and the result loaded;
  // nothing is written back.
  // Throws AsrModelsError::modelNotFound for a missing model folder; the compilation's or the second
  // load's error; the errors of the vocabulary.
  static CtcModels loadDirect(const std::filesystem::path& from, CtcModelVariant variant, std::stop_token stop = {});

  // The vocabulary of <folder>/"vocab.json": every key that reads as a decimal 64-bit integer (an
  // optional sign and digits) maps to its piece; other keys are skipped.
  // Throws AsrModelsError::modelNotFound("vocab.json", file) when the file is missing,
  // platform::FileError when it cannot be read, and AsrModelsError::loadingFailed("Invalid CTC
  // vocabulary: <file>") when it is not JSON, not an object of strings, or gives no entry.
  static std::map<std::int64_t, std::string> loadVocabulary(const std::filesystem::path& from);
};

}  // namespace tesselaudio
