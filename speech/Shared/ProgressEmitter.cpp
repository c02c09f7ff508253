#include "speech/Shared/ProgressEmitter.h"

#include <algorithm>
#include <utility>

namespace tesselaudio {

ProgressEmitter::Stream ProgressEmitter::ensureSession() {
  std::scoped_lock lock(mutex_);
  if (streamStorage_) return streamStorage_;
  return startSession();
}

ProgressEmitter::Stream ProgressEmitter::startSession() {
  if (streamStorage_) return streamStorage_;
  auto [sender, receiver] = platform::Channel<double>::make();
  continuation_.emplace(std::move(sender));
  streamStorage_ = std::make_shared<platform::Channel<double>::Receiver>(std::move(receiver));
  isActive_ = true;
  continuation_->send(0.0);
  return streamStorage_;
}

void ProgressEmitter::report(double progress) {
  std::scoped_lock lock(mutex_);
  if (!isActive_ || !continuation_) return;
  // NaN fails both comparisons and ends up as 0.
  continuation_->send(std::max(0.0, std::min(progress, 1.0)));
}

void ProgressEmitter::finishSession() {
  std::scoped_lock lock(mutex_);
  if (!isActive_) return;
  if (continuation_) {
    continuation_->send(1.0);
    continuation_->finish();
  }
  continuation_.reset();
  streamStorage_.reset();
  isActive_ = false;
}

void ProgressEmitter::failSession(std::exception_ptr error) {
  std::scoped_lock lock(mutex_);
  if (continuation_) continuation_->fail(std::move(error));
  continuation_.reset();
  streamStorage_.reset();
  isActive_ = false;
}

}  // namespace tesselaudio
