#include "speech/ASR/Shared/PieceVocabulary.h"

#include <optional>

#include <nlohmann/json.hpp>

#include "platform/sys/FileIO.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/ParakeetVocabulary.h"

namespace tesselaudio::PieceVocabulary {

std::map<int, std::string> load(const std::filesystem::path& file) {
  const std::string text = platform::readFile(file);
  std::optional<std::map<int, std::string>> vocabulary;
  try {
    vocabulary = ParakeetVocabulary::fromJson(text);
  } catch (const nlohmann::json::exception&) {
    // Text that is no JSON counts as a wrong shape.
  }
  if (!vocabulary) throw ASRError::processingFailed("Failed to parse vocab.json (expected array or dict)");
  return std::move(*vocabulary);
}

}  // namespace tesselaudio::PieceVocabulary
