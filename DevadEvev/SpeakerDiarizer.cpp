#include "DevadEvev/SpeakerDiarizer.h"

#include "platform/sys/UnavailableError.h"

namespace devadevev {

SpeakerDiarizer::SpeakerDiarizer() = default;

SpeakerDiarizer::~SpeakerDiarizer() = default;

void SpeakerDiarizer::prepare(const std::filesystem::path&, TurnsHandler, std::stop_token) {
  throw platform::UnavailableError("このビルドでは話者を聞き分けられません。");
}

void SpeakerDiarizer::append(std::span<const float>, double) {}

void SpeakerDiarizer::finish() {}

void SpeakerDiarizer::cancel() {}

}  // namespace devadevev
