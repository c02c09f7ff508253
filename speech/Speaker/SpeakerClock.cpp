#include "speech/Speaker/SpeakerClock.h"

#include <chrono>

namespace tesselaudio::SpeakerClock {
namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;

}  // namespace

double now() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count() - kSecondsFrom1970To2001;
}

}  // namespace tesselaudio::SpeakerClock
