#pragma once

#include <cstdint>
#include <map>
#include <stop_token>

#include <QUuid>

namespace veltovoice {

// The running jobs of one kind (minutes, task extraction), at most one per conversation. Each
// entry holds the stop source that ends its job and the job's run number, so that a job ending
// removes its own entry and never that of a later run of the same conversation. GUI thread only.
class ConversationJobs {
 public:
  struct Handle {
    std::stop_source stop;
    std::uint64_t run = 0;
  };

  bool contains(const QUuid& id) const { return handles_.count(id) > 0; }
  bool empty() const { return handles_.empty(); }
  // The handle of `id`'s running job, or null. Valid until the table next changes.
  const Handle* find(const QUuid& id) const;

  // Records a new run for `id` and returns its handle. A job still recorded for `id` is asked to
  // stop and loses its entry.
  Handle start(const QUuid& id);

  // Removes `id`'s entry when it still belongs to run `run`; returns whether it did.
  bool finish(const QUuid& id, std::uint64_t run);

  // Asks every recorded job to stop; the entries stay until their jobs end.
  void stopAll();

 private:
  std::map<QUuid, Handle> handles_;
  std::uint64_t nextRun_ = 1;
};

}  // namespace veltovoice
