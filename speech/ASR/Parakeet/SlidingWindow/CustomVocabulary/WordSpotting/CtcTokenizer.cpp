#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"

#include <system_error>
#include <utility>

#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizer.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {

CtcTokenizer::Error::Error(Case errorCase, std::string description,
                           std::optional<std::filesystem::path> file, std::exception_ptr underlying)
    : platform::Error("CtcTokenizer.Error", kDomain, static_cast<int>(errorCase), std::move(description),
                      std::move(file), std::move(underlying)) {}

CtcTokenizer::Error CtcTokenizer::Error::tokenizerNotFound(const std::filesystem::path& folder) {
  return Error(Case::tokenizerNotFound, "tokenizer.json not found at " + folder.string(), folder, nullptr);
}

CtcTokenizer::Error CtcTokenizer::Error::missingFile(const std::string& name,
                                                     const std::filesystem::path& folder) {
  return Error(Case::missingFile, "Missing required file '" + name + "' in " + folder.string(), folder,
               nullptr);
}

CtcTokenizer::Error CtcTokenizer::Error::initializationFailed(std::exception_ptr underlying) {
  const std::string message = platform::Error::messageOf(underlying);
  return Error(Case::initializationFailed, "Failed to initialize HuggingFace tokenizer: " + message,
               std::nullopt, std::move(underlying));
}

CtcTokenizer::Error CtcTokenizer::Error::applicationSupportNotFound() {
  return Error(Case::applicationSupportNotFound, "Application Support directory not found", std::nullopt,
               nullptr);
}

CtcTokenizer::CtcTokenizer(std::shared_ptr<const BpeTokenizer> bpeTokenizer)
    : bpeTokenizer_(std::move(bpeTokenizer)) {}

std::filesystem::path CtcTokenizer::getCtcModelDirectory() {
  auto folder = MLModelConfigurationUtils::defaultModelsDirectory(Repo::parakeetCtc110m);
  if (!folder.is_absolute()) throw Error::applicationSupportNotFound();
  return folder;
}

std::shared_ptr<const CtcTokenizer> CtcTokenizer::load() { return load(getCtcModelDirectory()); }

std::shared_ptr<const CtcTokenizer> CtcTokenizer::load(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (!std::filesystem::exists(folder / "tokenizer.json", ignored)) throw Error::tokenizerNotFound(folder);
  try {
    return std::shared_ptr<const CtcTokenizer>(new CtcTokenizer(BpeTokenizer::load(folder)));
  } catch (const platform::CancellationError&) {
    throw;
  } catch (...) {
    throw Error::initializationFailed(std::current_exception());
  }
}

std::vector<std::int64_t> CtcTokenizer::encode(std::string_view text) const {
  return bpeTokenizer_->encode(text, false, true);
}

std::vector<std::int64_t> CtcTokenizer::encodeWithoutBoundary(std::string_view text) const {
  return bpeTokenizer_->encode(text, false, false);
}

std::vector<std::vector<std::int64_t>> CtcTokenizer::encodeVariants(std::string_view text) const {
  auto withBoundary = encode(text);
  auto withoutBoundary = encodeWithoutBoundary(text);
  if (withBoundary == withoutBoundary) return {std::move(withBoundary)};
  return {std::move(withBoundary), std::move(withoutBoundary)};
}

}  // namespace tesselaudio
