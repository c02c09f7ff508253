#include "app/Model/LiveModelInbox.h"

#include <utility>

#include <QMetaObject>

#include "app/Model/LiveModel.h"

namespace veltovoice {

void LiveModelInbox::post(std::function<void(LiveModel&)> call) {
  // Posting under the lock: close() cannot complete, and the model cannot go, in between.
  std::scoped_lock lock(mutex_);
  if (!model_) return;
  LiveModel* model = model_;
  QMetaObject::invokeMethod(
      model, [model, call = std::move(call)] { call(*model); }, Qt::QueuedConnection);
}

void LiveModelInbox::close() {
  std::scoped_lock lock(mutex_);
  model_ = nullptr;
}

}  // namespace veltovoice
