#include "app/Model/ClockSleeper.h"

#include <QCoreApplication>

namespace veltovoice {

void ClockSleeper::wake() {
  if (woken) return;
  woken = true;
  handle.resume();
}

void ClockSleeper::wakeOnStop(const std::shared_ptr<ClockSleeper>& sleeper, std::stop_token stop) {
  std::weak_ptr<ClockSleeper> weak = sleeper;
  sleeper->onStop.emplace(std::move(stop), std::function<void()>([weak] {
    if (auto sleeper = weak.lock()) sleeper->stopped = true;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [weak] {
          if (auto sleeper = weak.lock()) sleeper->wake();
        },
        Qt::QueuedConnection);
  }));
}

}  // namespace veltovoice
