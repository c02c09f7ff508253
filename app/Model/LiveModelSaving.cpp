#include "app/Model/LiveModel.h"

#include <exception>
#include <system_error>

#include <QPointer>

#include "app/Model/AppLog.h"
#include "app/Model/JsonFields.h"
#include "app/Model/ModelClock.h"

namespace veltovoice {

std::string LiveModel::idText(const QUuid& id) { return detail::uuidText(id); }

void LiveModel::saveNow(const QUuid& id) {
  if (const auto pending = saveTasks_.find(id); pending != saveTasks_.end()) {
    pending->second.request_stop();
    saveTasks_.erase(pending);
  }
  const VoiceSession* found = session(id);
  if (!found) return;
  try {
    store_.save(*found);
  } catch (const std::exception& error) {
    AppLog::error("保存の失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
    setNotice(Notice{std::string("保存できませんでした: ") + error.what(), std::nullopt});
  }
}

void LiveModel::scheduleSave(const QUuid& id) {
  std::stop_source& pending = saveTasks_[id];
  pending.request_stop();
  pending = std::stop_source();
  debouncedSave(id, pending.get_token());
}

void LiveModel::saveAllPending() {
  std::vector<QUuid> pending;
  for (const auto& [id, stop] : saveTasks_) {
    if (!stop.stop_requested()) pending.push_back(id);
  }
  for (const QUuid& id : pending) saveNow(id);
}

QCoro::Task<> LiveModel::debouncedSave(QUuid id, std::stop_token stop) {
  // The model may be gone when the sleep ends; only the weak pointer is used afterwards.
  QPointer<LiveModel> self(this);
  co_await services_.clock->sleep(kSaveDebounceSeconds, stop);
  if (stop.stop_requested() || !self) co_return;
  self->saveNow(id);
}

void LiveModel::renameSession(const QUuid& id, const std::string& title) {
  if (const VoiceSession* found = session(id); found && found->title != title) {
    editSession(id, [&](VoiceSession& s) { s.title = title; });
  }
  scheduleSave(id);
}

void LiveModel::deleteSession(const QUuid& id) {
  if (liveID_ == id) return;
  const VoiceSession* found = session(id);
  if (!found) return;
  // Files copied or edited by hand can make two conversations name one file; it stays while
  // another conversation still names it.
  bool markdownShared = false;
  bool audioShared = false;
  for (const VoiceSession& other : sessions_) {
    if (other.id == id) continue;
    if (found->markdownFile && other.markdownFile == found->markdownFile) markdownShared = true;
    if (found->audioFile && other.audioFile == found->audioFile) audioShared = true;
  }
  std::error_code ignored;
  std::filesystem::remove(store_.conversationFile(id), ignored);
  if (const auto markdown = store_.markdownPath(*found); markdown && !markdownShared) {
    std::filesystem::remove(*markdown, ignored);
  }
  if (const auto audio = store_.audioPath(*found); audio && !audioShared) {
    std::filesystem::remove(*audio, ignored);
  }
  removeSessions(id);
  if (selectedID_ == id) {
    setSelectedID(sessions_.empty() ? OptionalID() : OptionalID(sessions_.front().id));
  }
}

}  // namespace veltovoice
