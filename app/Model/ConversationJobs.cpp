#include "app/Model/ConversationJobs.h"

namespace veltovoice {

const ConversationJobs::Handle* ConversationJobs::find(const QUuid& id) const {
  const auto it = handles_.find(id);
  return it == handles_.end() ? nullptr : &it->second;
}

ConversationJobs::Handle ConversationJobs::start(const QUuid& id) {
  Handle& handle = handles_[id];
  handle.stop.request_stop();
  handle = Handle{std::stop_source(), nextRun_++};
  return handle;
}

bool ConversationJobs::finish(const QUuid& id, std::uint64_t run) {
  const auto it = handles_.find(id);
  if (it == handles_.end() || it->second.run != run) return false;
  handles_.erase(it);
  return true;
}

void ConversationJobs::stopAll() {
  for (auto& [id, handle] : handles_) handle.stop.request_stop();
}

}  // namespace veltovoice
