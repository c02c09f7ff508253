#include "app/Model/LiveModel.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include <QTimer>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/RecordingWriter.h"
#include "app/Model/AppLog.h"
#include "app/Model/CrashRecovery.h"
#include "app/Model/LiveModelInbox.h"
#include "app/Model/ModelClock.h"
#include "platform/sys/StandardPaths.h"

namespace veltovoice {

namespace {

// Assigns `value` to `field` and emits `changed` when they differ.
template <typename T, typename Signal>
void assign(LiveModel* model, T& field, const T& value, Signal changed) {
  if (field == value) return;
  field = value;
  emit(model->*changed)();
}

}  // namespace

LiveModel::LiveModel(std::filesystem::path root, LiveModelServices services, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      store_(SessionStore::inFolder(root)),
      modelsDirectory_(root / "Models"),
      lastLevelAt_(services_.clock->now()),
      inbox_(std::make_shared<LiveModelInbox>(this)) {
  CrashRecovery::sweepTemporaryFiles(store_);
  sessions_ = store_.loadAll();
  // Recordings a crash cut off become ordinary files with their true length.
  const CrashRecovery::RepairedRecordings recovered = CrashRecovery::repairRecordings(store_, sessions_);
  for (const QUuid& id : recovered.repaired) saveNow(id);
  if (const auto text = CrashRecovery::noticeText(recovered)) setNotice(Notice{*text, std::nullopt});
  if (!sessions_.empty()) selectedID_ = sessions_.front().id;
  // Linking starts once the event loop runs, after whoever made the model has set it up.
  QTimer::singleShot(0, this, [this] { linkMissingAudio(); });
}

LiveModel::~LiveModel() {
  inbox_->close();
  startStop_.request_stop();
  linkStop_.request_stop();
  // A sleeping ticker wakes, finds the model gone and ends; otherwise its frame would wait forever.
  if (ticker_) ticker_->request_stop();
  if (transcriber_) transcriber_->cancel();
  if (diarizer_) diarizer_->cancel();
  for (auto& [id, stop] : saveTasks_) stop.request_stop();
  // Running jobs end at their next wait; they find the model gone and touch nothing.
  minutesJobs_.stopAll();
  taskJobs_.stopAll();
  cleanupJobs_.stopAll();
  transcriptJobs_.stopAll();
}

std::filesystem::path LiveModel::defaultRoot() {
  return platform::StandardPaths::applicationSupportDirectory() / "VeltoVoice";
}

// ---- Published state ----------------------------------------------------------------------------

void LiveModel::setSelectedID(const OptionalID& id) {
  assign(this, selectedID_, id, &LiveModel::selectedIDChanged);
}

void LiveModel::setNotice(const OptionalNotice& notice) {
  if (notice_ == notice) return;
  notice_ = notice;
  if (notice) AppLog::info("知らせ: " + notice->text);
  emit noticeChanged();
}

void LiveModel::setJobs(const JobTable& jobs) { assign(this, jobs_, jobs, &LiveModel::jobsChanged); }

void LiveModel::setJob(const QUuid& id, const std::optional<std::string>& text) {
  JobTable jobs = jobs_;
  if (text) {
    jobs[id] = *text;
  } else {
    jobs.erase(id);
  }
  setJobs(jobs);
}

void LiveModel::setLastSegmentDeletion(const OptionalDeletion& deletion) {
  assign(this, lastSegmentDeletion_, deletion, &LiveModel::lastSegmentDeletionChanged);
}

void LiveModel::setScrollRequest(const OptionalID& id) {
  assign(this, scrollRequest_, id, &LiveModel::scrollRequestChanged);
}

void LiveModel::announcePreferencesChanged() { emit preferencesChanged(); }

void LiveModel::setPhase(Phase phase) { assign(this, phase_, phase, &LiveModel::phaseChanged); }

void LiveModel::setLiveID(const OptionalID& id) {
  assign(this, liveID_, id, &LiveModel::liveIDChanged);
}

void LiveModel::setVolatileText(const std::string& text) {
  assign(this, volatileText_, text, &LiveModel::volatileTextChanged);
}

void LiveModel::setElapsed(double seconds) {
  assign(this, elapsed_, seconds, &LiveModel::elapsedChanged);
}

void LiveModel::setLevels(const Levels& levels) {
  assert(levels.size() <= kMaxLevels);
  assign(this, levels_, levels, &LiveModel::levelsChanged);
}

void LiveModel::setSpeakersAvailable(bool available) {
  assign(this, speakersAvailable_, available, &LiveModel::speakersAvailableChanged);
}

void LiveModel::setStatus(const std::string& status) {
  assign(this, status_, status, &LiveModel::statusChanged);
}

// ---- Conversations ------------------------------------------------------------------------------

const VoiceSession& LiveModel::sessionAt(int row) const {
  assert(row >= 0 && row < sessionCount());
  return sessions_[static_cast<std::size_t>(row)];
}

std::optional<int> LiveModel::rowOf(const QUuid& id) const {
  const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                               [&](const VoiceSession& s) { return s.id == id; });
  if (it == sessions_.end()) return std::nullopt;
  return static_cast<int>(it - sessions_.begin());
}

const VoiceSession* LiveModel::session(const QUuid& id) const {
  const std::optional<int> row = rowOf(id);
  return row ? &sessions_[static_cast<std::size_t>(*row)] : nullptr;
}

const VoiceSession* LiveModel::selected() const {
  return selectedID_ ? session(*selectedID_) : nullptr;
}

std::vector<std::string> LiveModel::latestLines() const {
  const VoiceSession* live = liveID_ ? session(*liveID_) : nullptr;
  const VoiceSession* shown = live ? live : (sessions_.empty() ? nullptr : &sessions_.front());
  if (!shown) return {};
  std::vector<std::string> lines;
  const auto& segments = shown->segments;
  const std::size_t first = segments.size() > 3 ? segments.size() - 3 : 0;
  for (std::size_t i = first; i < segments.size(); ++i) {
    const LiveSegment& segment = segments[i];
    lines.push_back(segment.speaker ? shown->speakerName(*segment.speaker) + "：" + segment.text
                                    : segment.text);
  }
  if (live && !volatileText_.empty()) {
    lines.push_back(volatileText_);
    if (lines.size() > 3) lines.erase(lines.begin());
  }
  return lines;
}

// ---- Changing the list --------------------------------------------------------------------------

bool LiveModel::editSession(const QUuid& id, const std::function<void(VoiceSession&)>& edit) {
  const std::optional<int> row = rowOf(id);
  if (!row) return false;
  edit(sessions_[static_cast<std::size_t>(*row)]);
  emit sessionChanged(id);
  return true;
}

void LiveModel::insertSession(int row, VoiceSession session) {
  assert(row >= 0 && row <= sessionCount());
  sessions_.insert(sessions_.begin() + row, std::move(session));
  emit sessionInserted(row);
}

void LiveModel::removeSessions(const QUuid& id) {
  while (const std::optional<int> row = rowOf(id)) {
    sessions_.erase(sessions_.begin() + *row);
    emit sessionRemoved(id, *row);
  }
}

void LiveModel::reorderSessions(
    const std::function<bool(const VoiceSession&, const VoiceSession&)>& before) {
  std::vector<QUuid> order;
  order.reserve(sessions_.size());
  for (const VoiceSession& s : sessions_) order.push_back(s.id);
  std::stable_sort(sessions_.begin(), sessions_.end(), before);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (sessions_[i].id != order[i]) {
      emit sessionsReordered();
      return;
    }
  }
}

}  // namespace veltovoice
