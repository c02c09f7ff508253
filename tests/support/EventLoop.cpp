#include "tests/support/EventLoop.h"

#include <thread>

#include <QCoreApplication>

namespace testsupport {

bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void settleEvents() {
  for (int i = 0; i < 50; ++i) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace testsupport
