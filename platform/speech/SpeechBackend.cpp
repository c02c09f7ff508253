#include "platform/speech/SpeechBackend.h"

#include <mutex>

namespace platform {

namespace {
std::mutex backendMutex;
std::shared_ptr<SpeechBackend> currentBackend;  // guarded by backendMutex
}  // namespace

void SpeechBackend::install(std::shared_ptr<SpeechBackend> backend) {
  std::scoped_lock lock(backendMutex);
  currentBackend = std::move(backend);
}

std::shared_ptr<SpeechBackend> SpeechBackend::installed() {
  std::scoped_lock lock(backendMutex);
  return currentBackend;
}

}  // namespace platform
