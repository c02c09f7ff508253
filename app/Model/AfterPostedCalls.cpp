#include "app/Model/AfterPostedCalls.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace veltovoice {

void AfterPostedCalls::await_suspend(std::coroutine_handle<> waiting) const {
  // Posted calls run in the order they were posted, so this one runs after those before it.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [waiting] { waiting.resume(); }, Qt::QueuedConnection);
}

}  // namespace veltovoice
