#include "speech/ITN/TextNormalizer.h"

#include "speech/ASR/Parakeet/ASRResult.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {
namespace {

const AppLogger& logger() {
  static const AppLogger* instance = new AppLogger("ITN");
  return *instance;
}

}  // namespace

TextNormalizer& TextNormalizer::shared() {
  static TextNormalizer* instance = new TextNormalizer;
  return *instance;
}

ASRResult TextNormalizer::normalize(const ASRResult& result) const { return result; }

void TextNormalizer::addRule([[maybe_unused]] const std::string& spoken,
                             [[maybe_unused]] const std::string& written) {
  logger().warning("addRule ignored: NemoTextProcessing engine not linked");
}

}  // namespace tesselaudio
