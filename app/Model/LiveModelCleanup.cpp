#include "app/Model/LiveModel.h"

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

#include <QPointer>

#include "app/Model/AppLog.h"
#include "app/Processing/CLIAssistant.h"
#include "app/Processing/CLICleaner.h"
#include "app/Processing/TranscriptCleaner.h"

namespace veltovoice {

// One run of the clean-up: what it sent and what became of the answers. GUI thread only.
struct LiveModel::CleanupRun {
  CLIAssistant assistant;
  // The sentences as they stood when the run started; answers name positions in this list.
  std::vector<LiveSegment> snapshot;
  std::vector<CLICleaner::Line> lines;
  std::string memo;
  std::vector<std::string> terms;
  int changed = 0;
  int rejected = 0;
};

namespace {

LiveModelServices::ConsentQuestion consentQuestion(const CLIAssistant& assistant) {
  const std::string name = assistant.displayName();
  return {"文字起こしを " + name + " に送ります",
          "清書のため、この会話の文字起こしと参加者・用語メモを " + name +
              "（ご自身がログインしているサービス）へ送ります。音声は送りません。よろしいですか？",
          "送って清書する", "キャンセル"};
}

std::vector<CLICleaner::Line> linesToSend(const VoiceSession& session) {
  std::vector<CLICleaner::Line> lines;
  for (std::size_t i = 0; i < session.segments.size(); ++i) {
    const LiveSegment& segment = session.segments[i];
    if (segment.edited) continue;
    const bool named = segment.speaker && *segment.speaker >= 0;
    lines.push_back({static_cast<int>(i), named ? session.speakerName(*segment.speaker) : "話者", segment.text});
  }
  return lines;
}

}  // namespace

void LiveModel::cleanTranscript(const QUuid& id) {
  const std::optional<CLIAssistant> assistant = CLIAssistant::selected();
  if (!assistant) {
    setNotice(Notice{"「AIでやり直す」→「清書に使うAI」で、使うAIを選んでください。", std::nullopt});
    return;
  }
  if (!assistant->installed()) {
    setNotice(Notice{assistant->displayName() + " が見つかりません。インストールしてログインしてから使ってください。",
                     std::nullopt});
    return;
  }
  if (liveID_ == id || jobs_.count(id)) return;
  const VoiceSession* found = session(id);
  if (!found || found->segments.empty()) return;

  auto run = std::make_shared<CleanupRun>(CleanupRun{*assistant, found->segments, linesToSend(*found),
                                                     found->memo.value_or(""), {}, 0, 0});
  run->terms = TranscriptCleaner::memoTerms(run->memo);
  if (!assistant->consented()) {
    if (!services_.askConsent(consentQuestion(*assistant))) return;
    assistant->setConsented(true);
    // A modal prompt runs an event loop of its own, in which anything may have started or gone.
    if (liveID_ == id || jobs_.count(id) || !session(id)) return;
  }

  const std::string name = assistant->displayName();
  setJob(id, name + " で清書しています…");
  AppLog::info("清書を開始: 会話 " + idText(id) + " " + name + " " + std::to_string(run->lines.size()) + "文");
  editSession(id, [&](VoiceSession& s) { s.segmentsBackup = run->snapshot; });
  const ConversationJobs::Handle handle = cleanupJobs_.start(id);
  runJob(cleanupJobs_, id, handle.run, cleanupJob(id, run, handle.stop.get_token()),
         [this, id, run](const std::exception& error) { cleanupFailed(id, *run, error); });
}

QCoro::Task<> LiveModel::cleanupJob(QUuid id, std::shared_ptr<CleanupRun> run, std::stop_token stop) {
  QPointer<LiveModel> self(this);
  const std::string phase = run->assistant.displayName() + " で清書しています…";
  std::function<void(const CLICleaner::Answer&)> onChunk = [self, id, run](const CLICleaner::Answer& answer) {
    if (self) self->applyCleanup(id, *run, answer);
  };
  std::function<void(double)> onProgress = [self, id, phase](double fraction) {
    if (self && self->jobs().count(id)) self->setJob(id, progressText(phase, fraction));
  };
  // Named before it is awaited: g++ 12 destroys temporaries of an awaited expression twice.
  QCoro::Task<> cleaning =
      CLICleaner::clean(run->lines, run->memo, run->assistant, std::move(onChunk), std::move(onProgress), stop);
  co_await std::move(cleaning);
  if (!self) co_return;
  const std::string name = run->assistant.displayName();
  saveNow(id);
  AppLog::info("清書を完了: 会話 " + idText(id) + " " + name + " 修正 " + std::to_string(run->changed) + " 不採用 " +
               std::to_string(run->rejected));
  std::string text = name + " で清書しました。" + std::to_string(run->changed) + "文を直しました";
  if (run->rejected >= 1) text += "（大きく変わった" + std::to_string(run->rejected) + "文は採用していません）";
  setNotice(Notice{text + "。「AIでやり直す」→「やり直す前に戻す」で戻せます。", std::nullopt});
}

void LiveModel::applyCleanup(const QUuid& id, CleanupRun& run, const std::map<int, std::string>& answer) {
  if (!session(id)) {
    scheduleSave(id);
    return;
  }
  // Answers name positions of the snapshot; each goes to that sentence wherever it stands now, so
  // that sentences deleted or merged meanwhile shift nothing onto their neighbours.
  editSession(id, [&](VoiceSession& s) {
    for (const auto& [n, corrected] : answer) {
      if (n < 0 || static_cast<std::size_t>(n) >= run.snapshot.size()) continue;
      const LiveSegment& before = run.snapshot[static_cast<std::size_t>(n)];
      const auto now = std::find_if(s.segments.begin(), s.segments.end(),
                                    [&](const LiveSegment& segment) { return segment.id == before.id; });
      if (now == s.segments.end() || now->edited) continue;
      switch (TranscriptCleaner::judge(before.text, corrected, run.terms)) {
        case TranscriptCleaner::Verdict::unchanged: break;
        case TranscriptCleaner::Verdict::accepted:
          now->text = corrected;
          ++run.changed;
          break;
        case TranscriptCleaner::Verdict::refused: ++run.rejected; break;
      }
    }
  });
  scheduleSave(id);
}

void LiveModel::cleanupFailed(const QUuid& id, const CleanupRun& run, const std::exception& error) {
  saveNow(id);
  AppLog::error("清書の失敗: 会話 " + idText(id) + " " + run.assistant.displayName() + " " + AppLog::describe(error));
  std::string text = std::string("清書できませんでした：") + error.what();
  if (run.changed >= 1) text += "（途中までの" + std::to_string(run.changed) + "文は直してあります）";
  setNotice(Notice{text, std::nullopt});
}

void LiveModel::restoreTranscriptBackup(const QUuid& id) {
  const VoiceSession* found = session(id);
  if (!found || !found->segmentsBackup) return;
  editSession(id, [](VoiceSession& s) {
    s.segments = std::move(*s.segmentsBackup);
    s.segmentsBackup.reset();
    if (!s.topics) return;
    std::set<QUuid> present;
    for (const LiveSegment& segment : s.segments) present.insert(segment.id);
    std::erase_if(*s.topics, [&](const TopicTag& topic) { return !present.count(topic.startSegmentID); });
  });
  saveNow(id);
  AppLog::info("やり直す前の文字起こしに戻した: 会話 " + idText(id));
  setNotice(Notice{"やり直す前の文字起こしに戻しました。", std::nullopt});
}

}  // namespace veltovoice
