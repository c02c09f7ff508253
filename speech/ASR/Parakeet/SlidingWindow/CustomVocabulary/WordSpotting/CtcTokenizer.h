#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys/Error.h"

namespace tesselaudio {

class BpeTokenizer;

// The tokenizer of a CTC spotter model: one BpeTokenizer read from the model folder's
// "tokenizer.json", with the encodings the rescorer uses. Immutable once loaded; safe to use from
// several threads at once.
//
//   auto tokenizer = CtcTokenizer::load();              // the 110M CTC model's folder
//   std::vector<std::int64_t> ids = tokenizer->encode("Tessel");
class CtcTokenizer {
 public:
  // A CTC tokenizer that cannot be loaded. Values.
  class Error : public platform::Error {
   public:
    static constexpr const char* kDomain = "TesselAudio.CtcTokenizer.Error";

    enum class Case { tokenizerNotFound, missingFile, initializationFailed, applicationSupportNotFound };

    // "tokenizer.json not found at <folder path>"; the folder is the error's filePath().
    static Error tokenizerNotFound(const std::filesystem::path& folder);
    // "Missing required file '<name>' in <folder path>".
    static Error missingFile(const std::string& name, const std::filesystem::path& folder);
    // "Failed to initialize HuggingFace tokenizer: <the underlying error's description>"; the
    // underlying error is kept as underlyingException().
    static Error initializationFailed(std::exception_ptr underlying);
    // "Application Support directory not found".
    static Error applicationSupportNotFound();

    Case errorCase() const { return static_cast<Case>(code()); }

   private:
    Error(Case errorCase, std::string description, std::optional<std::filesystem::path> file,
          std::exception_ptr underlying);
  };

  // The tokenizer of the default CTC model folder, MLModelConfigurationUtils::defaultModelsDirectory
  // of Repo::parakeetCtc110m. Throws Error::applicationSupportNotFound when there is no data
  // folder (the path is not absolute), else as load(folder).
  static std::shared_ptr<const CtcTokenizer> load();

  // The tokenizer of `folder`. Throws Error::tokenizerNotFound when the folder holds no
  // "tokenizer.json", and Error::initializationFailed wrapping whatever BpeTokenizer::load throws.
  static std::shared_ptr<const CtcTokenizer> load(const std::filesystem::path& folder);

  // The ids of `text` with a word mark in front.
  std::vector<std::int64_t> encode(std::string_view text) const;
  // The ids of `text` without it.
  std::vector<std::int64_t> encodeWithoutBoundary(std::string_view text) const;
  // Both encodings, with the mark first; one array when they are equal.
  std::vector<std::vector<std::int64_t>> encodeVariants(std::string_view text) const;

  const std::shared_ptr<const BpeTokenizer>& bpeTokenizer() const { return bpeTokenizer_; }

 private:
  explicit CtcTokenizer(std::shared_ptr<const BpeTokenizer> bpeTokenizer);

  static std::filesystem::path getCtcModelDirectory();

  std::shared_ptr<const BpeTokenizer> bpeTokenizer_;
};

}  // namespace tesselaudio
