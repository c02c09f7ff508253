#pragma once

#include <concepts>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ml/MLModelConfiguration.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/Repo.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// A language description for ParakeetLanguageModels: a type with these static members.
//
//   struct Japanese {
//     static constexpr int blankId = 3072;
//     static constexpr Repo repo = Repo::parakeetJa;           // its folderName() is the cache folder
//     static constexpr std::string_view displayName = "Parakeet JA";   // in log lines and errors
//     static constexpr std::string_view logCategory = "ParakeetJa";
//     static constexpr std::string_view preprocessorFile = "Preprocessor.mlmodelc";
//     static constexpr std::string_view encoderFile = "Encoder.mlmodelc";   // the int8 one, if a choice
//     static constexpr std::string_view decoderFile = "Decoderv2.mlmodelc";
//     static constexpr std::string_view vocabularyFile = "vocab.json";
//     static constexpr std::optional<std::string_view> jointFile = "Jointerv2.mlmodelc";
//     static constexpr bool supportsInt8Encoder = false;
//     static constexpr std::optional<std::string_view> fp32EncoderFile = std::nullopt;
//   };
template <class Config>
concept ParakeetLanguageModelConfig = requires {
  { Config::blankId } -> std::convertible_to<int>;
  { Config::repo } -> std::convertible_to<Repo>;
  { Config::displayName } -> std::convertible_to<std::string_view>;
  { Config::logCategory } -> std::convertible_to<std::string_view>;
  { Config::preprocessorFile } -> std::convertible_to<std::string_view>;
  { Config::encoderFile } -> std::convertible_to<std::string_view>;
  { Config::decoderFile } -> std::convertible_to<std::string_view>;
  { Config::vocabularyFile } -> std::convertible_to<std::string_view>;
  { Config::jointFile } -> std::convertible_to<std::optional<std::string_view>>;
  { Config::supportsInt8Encoder } -> std::convertible_to<bool>;
  { Config::fp32EncoderFile } -> std::convertible_to<std::optional<std::string_view>>;
};

namespace detail {

// A language description as values, for the code all languages share.
struct ParakeetLanguageSet {
  int blankId = 0;
  Repo repo;
  std::string displayName;
  std::string logCategory;
  std::string preprocessorFile;
  std::string encoderFile;
  std::string decoderFile;
  std::string vocabularyFile;
  std::optional<std::string> jointFile;
  bool supportsInt8Encoder = false;
  std::optional<std::string> fp32EncoderFile;
};

// The fields of a loaded set, shared by every language.
struct ParakeetLanguageModelsData {
  std::shared_ptr<const platform::MLModel> preprocessor;
  std::shared_ptr<const platform::MLModel> encoder;
  std::shared_ptr<const platform::MLModel> decoder;
  // Null when the set has no joint file.
  std::shared_ptr<const platform::MLModel> joint;
  platform::MLModelConfiguration configuration;
  // Token id to vocabulary piece.
  std::map<int, std::string> vocabulary;
  int blankId = 0;
};

std::filesystem::path defaultCacheDirectory(const ParakeetLanguageSet& set);
platform::MLModelConfiguration defaultLanguageConfiguration();
bool modelsExist(const ParakeetLanguageSet& set, const std::filesystem::path& at);
std::filesystem::path download(const ParakeetLanguageSet& set, const std::optional<std::filesystem::path>& to,
                               bool useInt8Encoder, bool downloadBothEncoders, bool force,
                               const ProgressHandler& progressHandler, std::stop_token stop);
ParakeetLanguageModelsData load(const ParakeetLanguageSet& set, const std::filesystem::path& from,
                               bool useInt8Encoder, const std::optional<platform::MLModelConfiguration>& configuration,
                               const ProgressHandler& progressHandler, std::stop_token stop);

template <ParakeetLanguageModelConfig Config>
ParakeetLanguageSet languageSet() {
  auto optionalText = [](std::optional<std::string_view> text) {
    return text ? std::optional<std::string>(std::string(*text)) : std::nullopt;
  };
  return {static_cast<int>(Config::blankId),
          Repo(Config::repo),
          std::string(std::string_view(Config::displayName)),
          std::string(std::string_view(Config::logCategory)),
          std::string(std::string_view(Config::preprocessorFile)),
          std::string(std::string_view(Config::encoderFile)),
          std::string(std::string_view(Config::decoderFile)),
          std::string(std::string_view(Config::vocabularyFile)),
          optionalText(Config::jointFile),
          static_cast<bool>(Config::supportsInt8Encoder),
          optionalText(Config::fp32EncoderFile)};
}

}  // namespace detail

// A Parakeet TDT model set for one language, described by `Config`: its loaded models, the
// configuration they were loaded with, the vocabulary and the blank id. A value whose models are
// immutable and safe from any thread; the static operations keep no state and log under
// Config::logCategory.
//
//   auto folder = ParakeetLanguageModels<Japanese>::download();
//   auto models = ParakeetLanguageModels<Japanese>::load(folder);
//
// The set's folder is <models root>/Config::repo.folderName(); the operations hand its parent to
// the model hub as the models root. The vocabulary file is described in ParakeetVocabulary.h.
// Fields, in order: preprocessor, encoder, decoder, joint (null when Config::jointFile is none),
// configuration, vocabulary (token id to piece), blankId.
template <ParakeetLanguageModelConfig Config>
struct ParakeetLanguageModels : detail::ParakeetLanguageModelsData {

  // MLModelConfigurationUtils::defaultModelsDirectory for Config::repo. Creates nothing.
  static std::filesystem::path defaultCacheDirectory() { return detail::defaultCacheDirectory(set()); }

  // Compute units all, with low-precision GPU accumulation.
  static platform::MLModelConfiguration defaultConfiguration() { return detail::defaultLanguageConfiguration(); }

  // Whether the folder holds the preprocessor, the decoder, an encoder (either one when the set
  // offers both), the joint when there is one, and the vocabulary. No network access; never throws.
  static bool modelsExist(const std::filesystem::path& at) { return detail::modelsExist(set(), at); }

  // Makes sure the set's files are in `to` (defaultCacheDirectory when none) and open, through
  // ModelHub::loadModels with compute units all, and returns the folder. Without `force` a complete
  // folder returns at once; with it the folder is removed first. `downloadBothEncoders` also
  // fetches the encoder not chosen by `useInt8Encoder`, when the set has two.
  // Throws AsrModelsError::loadingFailed when `force` meets a folder not named after
  // Config::repo's cache folder (nothing removed); the file system's error when the removal fails;
  // the hub's errors unchanged.
  static std::filesystem::path download(const std::optional<std::filesystem::path>& to = std::nullopt,
                                        bool useInt8Encoder = true, bool downloadBothEncoders = false,
                                        bool force = false, const ProgressHandler& progressHandler = {},
                                        std::stop_token stop = {}) {
    return detail::download(set(), to, useInt8Encoder, downloadBothEncoders, force, progressHandler,
                            std::move(stop));
  }

  // Loads the set from its folder through ModelHub::loadModels with the configuration's compute
  // units (defaultConfiguration when none); `useInt8Encoder` picks the encoder when the set offers
  // two. Throws AsrModelsError::loadingFailed for a model the hub did not produce or a vocabulary
  // that is neither an array nor an object of strings; AsrModelsError::modelNotFound("vocab.json")
  // for a missing vocabulary; the file system's and the hub's errors unchanged.
  static ParakeetLanguageModels load(const std::filesystem::path& from, bool useInt8Encoder = true,
                                     const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                                     const ProgressHandler& progressHandler = {}, std::stop_token stop = {}) {
    return {detail::load(set(), from, useInt8Encoder, configuration, progressHandler, std::move(stop))};
  }

  // download (one encoder, without force), then load from the folder it returns.
  static ParakeetLanguageModels downloadAndLoad(
      const std::optional<std::filesystem::path>& to = std::nullopt, bool useInt8Encoder = true,
      const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
      const ProgressHandler& progressHandler = {}, std::stop_token stop = {}) {
    const auto folder = download(to, useInt8Encoder, false, false, progressHandler, stop);
    return load(folder, useInt8Encoder, configuration, progressHandler, std::move(stop));
  }

 private:
  static const detail::ParakeetLanguageSet& set() {
    static const detail::ParakeetLanguageSet instance = detail::languageSet<Config>();
    return instance;
  }
};

}  // namespace tesselaudio
