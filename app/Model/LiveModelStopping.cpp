#include "app/Model/LiveModel.h"

#include <cmath>
#include <utility>

#include <QCoroFuture>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <fmt/format.h>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/RecordingWriter.h"
#include "app/Model/AfterPostedCalls.h"
#include "app/Model/AppLog.h"
#include "app/Model/ModelClock.h"

namespace veltovoice {

QCoro::Task<> LiveModel::startNext() {
  QPointer<LiveModel> self(this);
  if (phase_ == Phase::recording || phase_ == Phase::paused) {
    co_await stop();
    if (!self || phase_ != Phase::idle) co_return;
    co_await start();
  } else if (phase_ == Phase::idle) {
    co_await start();
  }
}

void LiveModel::togglePause() {
  if (phase_ == Phase::recording) {
    if (transcriber_) transcriber_->setAccepting(false);
    setPhase(Phase::paused);
  } else if (phase_ == Phase::paused) {
    if (transcriber_) transcriber_->setAccepting(true);
    // The no-audio warning counts its seconds from the resume, not from the last level before
    // the pause.
    lastLevelAt_ = services_.clock->now();
    setPhase(Phase::recording);
  }
}

QCoro::Task<> LiveModel::stop() {
  if (phase_ != Phase::recording && phase_ != Phase::paused) co_return;
  QPointer<LiveModel> self(this);
  setPhase(Phase::stopping);
  setStatus("文字起こしを確定しています…");
  if (ticker_) {
    ticker_->request_stop();
    ticker_.reset();
  }

  // Each part leaves its field before the wait: finishing runs on a worker that owns it, so that
  // a model going away meanwhile never cancels it from a second thread. Their last results reach
  // the model through the inbox, and are taken in before the next part finishes, while liveID()
  // still names the conversation.
  if (std::shared_ptr<devadevev::LiveTranscriber> transcriber = std::move(transcriber_)) {
    QFuture<void> finishing = QtConcurrent::run([transcriber] { transcriber->finish(); });
    co_await settled(finishing);
    if (!self) co_return;
  }
  if (std::shared_ptr<devadevev::SpeakerDiarizer> diarizer = std::move(diarizer_)) {
    QFuture<void> finishing = QtConcurrent::run([diarizer] { diarizer->finish(); });
    co_await settled(finishing);
    if (!self) co_return;
  }
  std::optional<double> written;
  if (std::shared_ptr<devadevev::RecordingWriter> writer = std::move(writer_)) {
    QFuture<double> closing = QtConcurrent::run([writer] { return writer->finish(); });
    written = co_await closing;
    if (!self) co_return;
  }

  const OptionalID stopped = liveID_;
  const bool found = stopped && closeLiveSession(*stopped, written);
  setVolatileText("");
  setLevels({});
  if (found) logEnding(*stopped);
  setLiveID(std::nullopt);
  setPhase(Phase::idle);
  setStatus("");
  if (stopped) extractTasksIfNeeded(*stopped, false);
}

bool LiveModel::closeLiveSession(const QUuid& id, std::optional<double> writtenSeconds) {
  const std::string leftOver = volatileText_;
  const bool found = editSession(id, [&](VoiceSession& live) {
    if (!leftOver.empty()) {
      LiveSegment last;
      last.text = leftOver;
      live.segments.push_back(std::move(last));
    }
    live.duration = writtenSeconds ? *writtenSeconds : elapsed_;
  });
  saveNow(id);
  return found;
}

void LiveModel::logEnding(const QUuid& id) {
  const VoiceSession* live = session(id);
  if (!live) return;
  const double seconds = live->duration.value_or(0);
  // Whole seconds, cut toward zero; "+ 0.0" keeps a cut -0.4 from reading "-0".
  const double whole = std::isfinite(seconds) ? std::trunc(seconds) + 0.0 : 0.0;
  AppLog::info(fmt::format("録音を終了: 会話 {} 長さ {:.0f}秒 {}文", idText(id), whole, live->segments.size()));
}

}  // namespace veltovoice
