#pragma once

#include <functional>
#include <mutex>

namespace veltovoice {

class LiveModel;

// The way from the recogniser's and the diarizer's threads to the conversation model: each post
// becomes a queued call on the GUI thread, in the order of the posts. Once the model closes it (as
// it goes), posts are dropped, so a worker that outlives the model never reaches it. Safe from any
// thread; held by shared pointer by everyone who posts.
class LiveModelInbox {
 public:
  explicit LiveModelInbox(LiveModel* model) : model_(model) {}

  void post(std::function<void(LiveModel&)> call);
  // GUI thread, from the model's destructor. Calls already queued are dropped with the model.
  void close();

 private:
  std::mutex mutex_;
  LiveModel* model_;  // guarded by mutex_; null once closed
};

}  // namespace veltovoice
