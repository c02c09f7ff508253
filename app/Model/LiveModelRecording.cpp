#include "app/Model/LiveModel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>
#include <utility>

#include <QCoroFuture>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/RecordingWriter.h"
#include "app/Model/AppLog.h"
#include "app/Model/LiveModelInbox.h"
#include "app/Model/ModelClock.h"
#include "app/Model/UserLocale.h"
#include "platform/sys/Error.h"
#include "platform/sys/FileError.h"
#include "platform/text/DateFormat.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {

namespace fs = std::filesystem;

class LiveModel::StopError : public platform::Error {
 public:
  StopError() : Error("StopError", "VeltoVoice.LiveModel", 1, "the start was stopped") {}
};

namespace {

const char* const kMicrophoneNotice = "録音に使えるマイクが見つかりません。マイクをつなぎ、サウンドの設定で入力装置を選んでください。";
const char* const kNoAudioNotice = "マイクの音声が5秒以上届いていません。マイクの接続を確認してください。";

// The diarizer's speaker slots are 0 to 3.
constexpr int kSpeakerSlots = 4;

std::optional<double> finiteTime(std::optional<double> seconds) {
  if (seconds && std::isfinite(*seconds)) return seconds;
  return std::nullopt;
}

double unixSeconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// Runs `work` on a pool thread; the future holds what it threw, or null.
template <class Work>
QFuture<std::exception_ptr> runBlocking(Work work) {
  return QtConcurrent::run([work = std::move(work)]() mutable -> std::exception_ptr {
    try {
      work();
      return nullptr;
    } catch (...) {
      return std::current_exception();
    }
  });
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return AppLog::describe(e);
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

std::string LiveModel::defaultTitle(std::chrono::system_clock::time_point date) {
  return platform::text::formatDate(unixSeconds(date), "M月d日 H:mm", "ja_JP") + " の録音";
}

QCoro::Task<> LiveModel::start() {
  if (phase_ != Phase::idle) co_return;
  QPointer<LiveModel> self(this);
  setPhase(Phase::starting);
  setNotice(std::nullopt);

  std::optional<QUuid> made;
  std::exception_ptr failure;
  try {
    checkMicrophone();
    setVolatileText("");
    setElapsed(0);
    turns_.clear();
    setLevels({});

    const auto now = services_.clock->now();
    VoiceSession session;
    session.title = defaultTitle(now);
    session.startedAt = recordTimeFromUnixSeconds(unixSeconds(now));
    session.audioFile = idText(session.id) + ".m4a";
    session.markdownFile = store_.newMarkdownFileName(session.startedAt, session.title, sessions_);
    made = session.id;
    insertSession(0, std::move(session));
    setLiveID(made);
    setSelectedID(made);

    std::error_code folderError;
    fs::create_directories(store_.audioDirectory, folderError);
    if (folderError) {
      throw platform::FileError::fromErrno("create folder", store_.audioDirectory, folderError.value());
    }
    writer_ = std::make_shared<devadevev::RecordingWriter>(*store_.audioPath(*this->session(*made)));
    transcriber_ = services_.makeTranscriber();
    transcriber_->setRecorder(writer_);

    co_await prepareDiarizer(transcriber_);
    if (!self) co_return;

    setStatus("音声認識を準備しています…");
    const std::shared_ptr<LiveModelInbox> inbox = inbox_;
    const std::shared_ptr<devadevev::LiveTranscriber> transcriber = transcriber_;
    const std::stop_token stop = startStop_.get_token();
    // The future is named: awaiting a temporary that holds the work confuses the compiler's
    // coroutine lowering (it destroys the temporary twice).
    QFuture<std::exception_ptr> preparing = runBlocking([inbox, transcriber, stop] {
      transcriber->prepare(
          [inbox](const devadevev::LiveTranscriber::Update& update) {
            inbox->post([update](LiveModel& model) { model.apply(update); });
          },
          [inbox](const std::string& text) {
            inbox->post([text](LiveModel& model) { model.setStatus(text); });
          },
          [inbox](const std::string& text) {
            inbox->post([text](LiveModel& model) {
              model.setNotice(Notice{text + "（録音は続いています）", std::nullopt});
            });
          },
          stop);
    });
    std::exception_ptr prepared = co_await preparing;
    if (!self) co_return;
    if (prepared) std::rethrow_exception(prepared);

    transcriber_->setOnLevel([inbox](float level) {
      inbox->post([level](LiveModel& model) { model.push(level); });
    });
    transcriber_->setOnInputChange([inbox](const std::string& text) {
      inbox->post([text](LiveModel& model) { model.setNotice(Notice{text, std::nullopt}); });
    });
    transcriber_->startMicrophone();
    transcriber_->setAccepting(true);

    const auto opened = services_.clock->now();
    editSession(*made, [&](VoiceSession& s) { s.startedAt = recordTimeFromUnixSeconds(unixSeconds(opened)); });
    lastLevelAt_ = opened;
    setPhase(Phase::recording);
    setStatus("");
    saveNow(*made);
    AppLog::info("録音を開始: 会話 " + idText(*made) + " 話者分離 " + (speakersAvailable_ ? "あり" : "なし"));
    startTicker();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) co_await failStart(failure, made);
}

QCoro::Task<> LiveModel::failStart(std::exception_ptr error, std::optional<QUuid> made) {
  if (transcriber_) {
    transcriber_->cancel();
    transcriber_.reset();
  }
  if (diarizer_) {
    diarizer_->cancel();
    diarizer_.reset();
  }
  std::error_code ignored;
  if (writer_) {
    writer_->finish();
    fs::remove(writer_->url(), ignored);
    writer_.reset();
  }
  if (made) {
    // An edit made while starting may have saved the conversation already: a failed start leaves
    // no conversation file behind either.
    if (const auto pending = saveTasks_.find(*made); pending != saveTasks_.end()) {
      pending->second.request_stop();
      saveTasks_.erase(pending);
    }
    if (const VoiceSession* ghost = session(*made)) {
      if (const auto markdown = store_.markdownPath(*ghost)) fs::remove(*markdown, ignored);
    }
    fs::remove(store_.conversationFile(*made), ignored);
    removeSessions(*made);
  }
  setLiveID(std::nullopt);
  if ((made && selectedID_ == made) || (!made && !selectedID_)) {
    setSelectedID(sessions_.empty() ? OptionalID() : OptionalID(sessions_.front().id));
  }
  setPhase(Phase::idle);
  setStatus("");
  AppLog::error("録音を開始できなかった: " + describe(error));
  if (!notice_) setNotice(Notice{platform::Error::messageOf(error), std::nullopt});
  co_return;
}

void LiveModel::checkMicrophone() {
  if (services_.microphoneAuthorized()) return;
  setNotice(Notice{kMicrophoneNotice, Notice::Action::microphone});
  throw StopError();
}

QCoro::Task<> LiveModel::prepareDiarizer(std::shared_ptr<devadevev::LiveTranscriber> transcriber) {
  QPointer<LiveModel> self(this);
  setSpeakersAvailable(false);
  const std::shared_ptr<devadevev::SpeakerDiarizer> diarizer = services_.makeDiarizer();
  std::error_code error;
  setStatus(fs::exists(modelsDirectory_, error) ? "話者分離を準備しています…"
                                                : "話者分離のモデルを初回だけダウンロードしています…");
  const std::shared_ptr<LiveModelInbox> inbox = inbox_;
  const std::stop_token stop = startStop_.get_token();
  const fs::path models = modelsDirectory_;
  QFuture<std::exception_ptr> preparing = runBlocking([diarizer, models, inbox, stop] {
    diarizer->prepare(
        models,
        [inbox](const std::vector<devadevev::SpeakerDiarizer::Turn>& turns) {
          inbox->post([turns](LiveModel& model) { model.apply(turns); });
        },
        stop);
  });
  std::exception_ptr failure = co_await preparing;
  if (!self) {
    diarizer->cancel();
    co_return;
  }
  if (failure) {
    diarizer->cancel();
    setNotice(Notice{"話者分離を準備できなかったため、話者なしで続けます（" + platform::Error::messageOf(failure) + "）",
                     std::nullopt});
    co_return;
  }
  transcriber->setOnSamples([diarizer](std::span<const float> samples, double sampleRate) {
    diarizer->append(samples, sampleRate);
  });
  diarizer_ = diarizer;
  setSpeakersAvailable(true);
}

void LiveModel::push(float level) {
  lastLevelAt_ = services_.clock->now();
  Levels levels = levels_;
  levels.push_back(level);
  if (levels.size() > kMaxLevels) levels.erase(levels.begin(), levels.end() - kMaxLevels);
  setLevels(levels);
}

void LiveModel::startTicker() {
  // stop() has stopped the previous ticker before a new start; should one still run, it is stopped
  // too, so that two tickers never count at once.
  if (ticker_) ticker_->request_stop();
  ticker_.emplace();
  tick(ticker_->get_token());
}

QCoro::Task<> LiveModel::tick(std::stop_token stop) {
  QPointer<LiveModel> self(this);
  const std::shared_ptr<ModelClock> clock = services_.clock;
  while (!stop.stop_requested()) {
    co_await clock->sleep(kTickSeconds, stop);
    if (!self) co_return;
    if (phase_ != Phase::recording) continue;
    setElapsed(elapsed_ + kTickSeconds);
    const double silent = std::chrono::duration<double>(clock->now() - lastLevelAt_).count();
    if (silent > kNoAudioSeconds && !notice_) setNotice(Notice{kNoAudioNotice, std::nullopt});
  }
}

void LiveModel::apply(const devadevev::LiveTranscriber::Update& update) {
  // Late results after a stop are dropped.
  if (!liveID_) return;
  const QUuid id = *liveID_;
  const std::string text = platform::text::trimWhitespaceAndNewlines(update.text);
  if (!update.isFinal) {
    setVolatileText(text);
    return;
  }
  setVolatileText("");
  if (text.empty()) return;

  std::vector<devadevev::LiveTranscriber::Sentence> sentences = update.sentences;
  if (sentences.empty()) sentences.push_back({text, update.start, update.end});
  editSession(id, [&](VoiceSession& live) {
    for (const auto& sentence : sentences) {
      LiveSegment segment;
      segment.text = sentence.text;
      segment.start = finiteTime(sentence.start);
      segment.end = finiteTime(sentence.end);
      segment.speaker = speaker(segment, turns_);
      live.segments.push_back(std::move(segment));
    }
  });
  scheduleSave(id);
  extractTasksIfNeeded(id, true);
}

void LiveModel::apply(const std::vector<devadevev::SpeakerDiarizer::Turn>& turns) {
  turns_ = turns;
  if (!liveID_) return;
  const QUuid id = *liveID_;
  const VoiceSession* live = session(id);
  if (!live) return;

  // Judged on the list as it stands; written only when some speaker moves, so that a quiet
  // timeline neither signals nor saves.
  std::vector<std::pair<std::size_t, int>> changes;
  for (std::size_t i = 0; i < live->segments.size(); ++i) {
    const LiveSegment& segment = live->segments[i];
    if (segment.speakerLocked) continue;
    const std::optional<int> found = speaker(segment, turns_);
    if (found && found != segment.speaker) changes.emplace_back(i, *found);
  }
  if (changes.empty()) return;
  editSession(id, [&](VoiceSession& s) {
    for (const auto& [index, slot] : changes) s.segments[index].speaker = slot;
  });
  scheduleSave(id);
}

std::optional<int> LiveModel::speaker(const LiveSegment& segment,
                                      const std::vector<devadevev::SpeakerDiarizer::Turn>& turns) {
  if (!segment.start || !segment.end || !(*segment.start < *segment.end)) return std::nullopt;
  const double start = *segment.start;
  const double end = *segment.end;
  std::array<double, kSpeakerSlots> totals{};
  std::array<bool, kSpeakerSlots> met{};
  for (const auto& turn : turns) {
    // A reversed, empty or NaN turn would add nothing or a negative amount, yet still name a
    // speaker; a slot outside the diarizer's four is no speaker we know.
    if (turn.speaker < 0 || turn.speaker >= kSpeakerSlots || !(turn.start < turn.end)) continue;
    if (!(turn.end > start && turn.start < end)) continue;
    const auto slot = static_cast<std::size_t>(turn.speaker);
    totals[slot] += std::min(turn.end, end) - std::max(turn.start, start);
    met[slot] = true;
  }
  std::optional<int> best;
  for (int slot = 0; slot < kSpeakerSlots; ++slot) {
    const auto index = static_cast<std::size_t>(slot);
    if (met[index] && (!best || totals[index] > totals[static_cast<std::size_t>(*best)])) best = slot;
  }
  return best;
}

}  // namespace veltovoice
