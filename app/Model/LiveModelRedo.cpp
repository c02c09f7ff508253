#include "app/Model/LiveModel.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include <QCoroFuture>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <fmt/format.h>

#include "app/Model/AfterPostedCalls.h"
#include "app/Model/AppLog.h"
#include "app/Processing/TaskExtractor.h"
#include "app/Processing/TranscriptJudge.h"
#include "platform/audio/AudioFile.h"
#include "platform/sys/CancellationError.h"

namespace veltovoice {

namespace fs = std::filesystem;
using Sentence = devadevev::LiveTranscriber::Sentence;
using Turn = devadevev::SpeakerDiarizer::Turn;

// One redo or add-missing run: the conversation as it stood when the job started, and what the
// judge has chosen so far. GUI thread only.
struct LiveModel::TranscriptRun {
  fs::path recording;
  VoiceSession snapshot;
  TranscriptJudge::Choices choices;
};

namespace {

const std::string kRedoPhase = "録音から文字起こししています…";
const std::string kJudgePhase = "どちらが正しいかを確かめています…";
const std::string kSpeakerPhase = "話者を推定しています…";
const std::string kFillPhase = "文字起こしを追加しています…";

// A sentence falls on a segment when its middle lies within the segment widened by this much.
constexpr double kSlackSeconds = 0.3;
// What a missing end counts as, from the start.
constexpr double kMissingEndSeconds = 1.0;
// The shortest stretch diarized for an extra sentence.
constexpr double kShortestDiarizedSeconds = 0.5;
// Earlier audio diarized with each stretch, so that the turns meet sentences with speakers.
constexpr double kContextSeconds = 90;
constexpr double kShortestGapSeconds = 30;
constexpr double kShortestTailSeconds = 5;
// Numbers given to diarizer speakers that met no conversation speaker.
constexpr int kFreeSpeakers = 8;

// The recording's length is not a usable number of seconds.
class RecordingLengthError : public platform::Error {
 public:
  RecordingLengthError()
      : Error("RecordingLengthError", "VeltoVoice.LiveModel", 2, "録音の長さがわかりません。") {}
};

// The length in seconds of the recording, finite and not negative. Throws the audio layer's
// error when the file cannot be read, RecordingLengthError when it cannot say how long it is.
double recordingLength(const fs::path& recording) {
  const std::optional<double> seconds = platform::AudioFile::duration(recording);
  if (!seconds) platform::AudioFile opening(recording);  // names the reason when the file is unreadable
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) throw RecordingLengthError();
  return *seconds;
}

// What a worker ended with; QtConcurrent carries no exception of ours, so errors travel as values.
template <typename T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;

  T take() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <typename Work>
auto onWorker(Work work) -> QFuture<Outcome<std::invoke_result_t<Work&>>> {
  using T = std::invoke_result_t<Work&>;
  return QtConcurrent::run([work = std::move(work)]() mutable -> Outcome<T> {
    try {
      return {work(), nullptr};
    } catch (...) {
      return {std::nullopt, std::current_exception()};
    }
  });
}

double endOf(const std::optional<double>& start, const std::optional<double>& end) {
  return end.value_or(*start + kMissingEndSeconds);
}

// Where the new sentences fall: per position of the snapshot, the sentences on that segment, and
// the sentences that fall on none, each in recognition order.
struct Layout {
  std::map<std::size_t, std::vector<Sentence>> onSegment;
  std::vector<Sentence> extra;
};

Layout laidOver(const std::vector<LiveSegment>& segments, const std::vector<Sentence>& sentences) {
  Layout layout;
  for (const Sentence& sentence : sentences) {
    if (!sentence.start) continue;
    const double middle = (*sentence.start + endOf(sentence.start, sentence.end)) / 2;
    const auto on = std::find_if(segments.begin(), segments.end(), [&](const LiveSegment& segment) {
      return segment.start && *segment.start - kSlackSeconds <= middle &&
             middle <= endOf(segment.start, segment.end) + kSlackSeconds;
    });
    if (on == segments.end()) {
      layout.extra.push_back(sentence);
    } else {
      layout.onSegment[static_cast<std::size_t>(on - segments.begin())].push_back(sentence);
    }
  }
  return layout;
}

std::string joined(const std::vector<Sentence>& sentences) {
  std::string text;
  for (const Sentence& sentence : sentences) text += sentence.text;
  return text;
}

std::vector<TranscriptJudge::Pair> pairsOf(const VoiceSession& snapshot, const Layout& layout) {
  std::vector<TranscriptJudge::Pair> pairs;
  for (const auto& [position, sentences] : layout.onSegment) {
    const LiveSegment& segment = snapshot.segments[position];
    if (segment.edited) continue;
    std::string candidate = joined(sentences);
    if (TaskExtractor::normalized(candidate) == TaskExtractor::normalized(segment.text)) continue;
    const bool named = segment.speaker && *segment.speaker >= 0;
    pairs.push_back({static_cast<std::int64_t>(position), named ? snapshot.speakerName(*segment.speaker) : "話者",
                     segment.text, std::move(candidate)});
  }
  return pairs;
}

std::string contextOf(const VoiceSession& snapshot) {
  std::string titles;
  for (const TopicTag& topic : snapshot.topics.value_or(std::vector<TopicTag>{})) {
    if (!titles.empty()) titles += "、";
    titles += topic.title;
  }
  return titles.empty() ? std::string() : "話題：" + titles;
}

std::vector<LiveModel::TimeRange> extraRanges(const std::vector<Sentence>& extra) {
  std::vector<LiveModel::TimeRange> ranges;
  for (const Sentence& sentence : extra) {
    const double start = *sentence.start;
    ranges.push_back({start, std::max(start + kShortestDiarizedSeconds, endOf(sentence.start, sentence.end))});
  }
  return ranges;
}

// A new sentence as a sentence of the conversation, without a speaker yet.
LiveSegment segmentOf(const Sentence& sentence) {
  LiveSegment segment;
  segment.text = sentence.text;
  segment.start = sentence.start;
  segment.end = sentence.end;
  return segment;
}

// The conversation speaker of a diarizer slot: its entry in `mapping`, else the slot itself.
std::optional<int> mapped(std::optional<int> slot, const std::map<int, int>& mapping) {
  if (!slot) return std::nullopt;
  const auto entry = mapping.find(*slot);
  return entry != mapping.end() ? entry->second : *slot;
}

// Sentences by start, those without a start last; equal starts keep their order.
void sortByStart(std::vector<LiveSegment>& segments) {
  const auto key = [](const LiveSegment& segment) {
    return segment.start.value_or(std::numeric_limits<double>::infinity());
  };
  std::stable_sort(segments.begin(), segments.end(),
                   [&](const LiveSegment& a, const LiveSegment& b) { return key(a) < key(b); });
}

}  // namespace

// ---- Starting -----------------------------------------------------------------------------------

std::optional<fs::path> LiveModel::recordingForJob(const QUuid& id) const {
  if (liveID_ == id || jobs_.count(id)) return std::nullopt;
  const VoiceSession* found = session(id);
  if (!found || !found->audioFile) return std::nullopt;
  const std::optional<fs::path> recording = store_.audioPath(*found);
  std::error_code error;
  if (!recording || !fs::exists(*recording, error)) return std::nullopt;
  return recording;
}

void LiveModel::redoTranscript(const QUuid& id) {
  const std::optional<fs::path> recording = recordingForJob(id);
  if (!recording) return;
  auto run = std::make_shared<TranscriptRun>(TranscriptRun{*recording, *session(id), {}});
  setJob(id, kRedoPhase);
  AppLog::info(fmt::format("文字起こしのやり直しを開始: 会話 {} {}文", idText(id), run->snapshot.segments.size()));
  const ConversationJobs::Handle handle = transcriptJobs_.start(id);
  runJob(transcriptJobs_, id, handle.run, redoJob(id, run, handle.stop.get_token()),
         [this, id](const std::exception& error) {
           AppLog::error("文字起こしのやり直しの失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
           setNotice(Notice{std::string("文字起こしをやり直せませんでした: ") + error.what(), std::nullopt});
         });
}

void LiveModel::fillTranscript(const QUuid& id) {
  const std::optional<fs::path> recording = recordingForJob(id);
  if (!recording) return;
  auto run = std::make_shared<TranscriptRun>(TranscriptRun{*recording, *session(id), {}});
  setJob(id, kFillPhase);
  AppLog::info("文字起こしの追加を開始: 会話 " + idText(id));
  const ConversationJobs::Handle handle = transcriptJobs_.start(id);
  // The job reports its own failures, cancellation included.
  runJob(transcriptJobs_, id, handle.run, fillJob(id, run, handle.stop.get_token()), [](const std::exception&) {});
}

// ---- The redo -----------------------------------------------------------------------------------

QCoro::Task<> LiveModel::redoJob(QUuid jobID, std::shared_ptr<TranscriptRun> jobRun, std::stop_token jobStop) {
  // Lambdas below capture locals only: g++ 12 mishandles by-copy lambda captures of coroutine
  // parameters.
  const QUuid id = jobID;
  const std::shared_ptr<TranscriptRun> run = jobRun;
  const std::stop_token stop = jobStop;
  QPointer<LiveModel> self(this);
  const fs::path recording = run->recording;

  QFuture<Outcome<double>> loading = onWorker([recording] { return recordingLength(recording); });
  const double duration = (co_await settled(std::move(loading))).take();
  if (!self) co_return;

  QFuture<Outcome<std::vector<Sentence>>> recognising =
      onWorker([recognise = services_.transcribeFile, recording, duration,
                progress = jobProgress(id, kRedoPhase), stop] {
        return recognise(recording, {TimeRange{0, duration}}, progress, stop);
      });
  const std::vector<Sentence> sentences = (co_await settled(std::move(recognising))).take();
  if (!self) co_return;

  const std::vector<LiveSegment>& before = run->snapshot.segments;
  const Layout layout = laidOver(before, sentences);
  const std::vector<TranscriptJudge::Pair> pairs = pairsOf(run->snapshot, layout);
  QCoro::Task<int> judging = TranscriptJudge::judge(
      services_.languageModel, pairs, contextOf(run->snapshot),
      [run](const TranscriptJudge::Choices& choices) {
        for (const auto& [line, chosen] : choices) run->choices[line] = chosen;
      },
      [self, id](double fraction) {
        if (self && self->jobs().count(id)) self->setJob(id, progressText(kJudgePhase, fraction));
      },
      stop);
  const int skipped = co_await std::move(judging);
  if (!self) co_return;

  QCoro::Task<std::vector<Turn>> diarizing = turnsOf(id, recording, extraRanges(layout.extra), stop);
  const std::vector<Turn> turns = co_await std::move(diarizing);
  if (!self) co_return;
  const std::map<int, int> mapping = speakerMapping(turns, before);
  std::vector<LiveSegment> added;
  for (const Sentence& sentence : layout.extra) {
    LiveSegment segment = segmentOf(sentence);
    segment.speaker = mapped(speaker(segment, turns), mapping);
    added.push_back(std::move(segment));
  }

  // Replacements go by id onto the transcript as it is now, so that edits, speaker changes,
  // deletions and sentences made while the job ran are kept.
  int replaced = 0;
  editSession(id, [&](VoiceSession& s) {
    s.segmentsBackup = before;
    for (const auto& [line, chosen] : run->choices) {
      if (!chosen || line < 0 || static_cast<std::size_t>(line) >= before.size()) continue;
      const auto on = layout.onSegment.find(static_cast<std::size_t>(line));
      if (on == layout.onSegment.end()) continue;
      const QUuid segmentID = before[static_cast<std::size_t>(line)].id;
      const auto now = std::find_if(s.segments.begin(), s.segments.end(),
                                    [&](const LiveSegment& segment) { return segment.id == segmentID; });
      if (now == s.segments.end() || now->edited) continue;
      now->text = joined(on->second);
      ++replaced;
    }
    s.segments.insert(s.segments.end(), added.begin(), added.end());
    sortByStart(s.segments);
    s.duration = duration;
  });
  saveNow(id);
  AppLog::info(fmt::format("文字起こしのやり直しを完了: 会話 {} やり直し {}文 比較 {} 差し替え {} 追加 {} 判定を飛ばした {}",
                           idText(id), sentences.size(), pairs.size(), replaced, added.size(), skipped));
  setNotice(Notice{fmt::format("文字起こしをやり直しました。{}文を見比べて{}文を差し替え、抜けていた{}文を足しました。"
                               "「AIでやり直す」→「やり直す前に戻す」で戻せます。",
                               pairs.size(), replaced, added.size()),
                   std::nullopt});
}

QCoro::Task<std::vector<Turn>> LiveModel::turnsOf(QUuid jobID, fs::path file, std::vector<TimeRange> ranges,
                                                  std::stop_token jobStop) {
  if (ranges.empty()) co_return std::vector<Turn>{};
  const QUuid id = jobID;
  const fs::path recording = file;
  const std::stop_token stop = jobStop;
  setJob(id, kSpeakerPhase);
  QFuture<Outcome<std::vector<Turn>>> diarizing =
      onWorker([diarize = services_.diarizeFile, recording, widened = withContext(ranges, kContextSeconds),
                models = modelsDirectory_, progress = jobProgress(id, kSpeakerPhase), stop] {
        return diarize(recording, widened, models, progress, stop);
      });
  Outcome<std::vector<Turn>> outcome = co_await settled(std::move(diarizing));
  // Without turns the new sentences simply have no speakers.
  co_return outcome.error ? std::vector<Turn>{} : std::move(*outcome.value);
}

// ---- Adding missing parts -----------------------------------------------------------------------

QCoro::Task<> LiveModel::fillJob(QUuid jobID, std::shared_ptr<TranscriptRun> jobRun, std::stop_token jobStop) {
  const QUuid id = jobID;
  const std::shared_ptr<TranscriptRun> run = jobRun;
  const std::stop_token stop = jobStop;
  QPointer<LiveModel> self(this);
  const fs::path recording = run->recording;
  double duration = 0;
  std::vector<TimeRange> gaps;
  std::vector<Sentence> sentences;
  try {
    QFuture<Outcome<double>> loading = onWorker([recording] { return recordingLength(recording); });
    duration = (co_await settled(std::move(loading))).take();
    if (!self) co_return;
    gaps = uncoveredRanges(run->snapshot.segments, duration);
    if (gaps.empty()) {
      setNotice(Notice{"文字起こしがない部分は見つかりませんでした。", std::nullopt});
      co_return;
    }
    QFuture<Outcome<std::vector<Sentence>>> recognising =
        onWorker([recognise = services_.transcribeFile, recording, gaps, progress = jobProgress(id, kFillPhase),
                  stop] { return recognise(recording, gaps, progress, stop); });
    sentences = (co_await settled(std::move(recognising))).take();
    if (!self) co_return;
  } catch (const std::exception& error) {
    // Unlike the other jobs, this one reports a cancellation too.
    if (!self) co_return;
    AppLog::error("文字起こしの追加の失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
    setNotice(Notice{std::string("文字起こしを追加できませんでした: ") + error.what(), std::nullopt});
    co_return;
  }

  setJob(id, kSpeakerPhase);
  QCoro::Task<std::vector<Turn>> diarizing = turnsOf(id, recording, gaps, stop);
  const std::vector<Turn> turns = co_await std::move(diarizing);
  if (!self) co_return;
  const std::map<int, int> mapping = speakerMapping(turns, run->snapshot.segments);
  std::vector<LiveSegment> added;
  for (const Sentence& sentence : sentences) {
    const bool inGap = sentence.start && std::any_of(gaps.begin(), gaps.end(), [&](const TimeRange& gap) {
                         return gap.lowerBound <= *sentence.start && *sentence.start < gap.upperBound;
                       });
    if (!inGap) continue;
    LiveSegment segment = segmentOf(sentence);
    segment.speaker = mapped(speaker(segment, turns), mapping);
    added.push_back(std::move(segment));
  }

  editSession(id, [&](VoiceSession& s) {
    s.segments.insert(s.segments.end(), added.begin(), added.end());
    sortByStart(s.segments);
    s.duration = duration;
  });
  saveNow(id);
  AppLog::info(fmt::format("文字起こしの追加を完了: 会話 {} 区間 {} 追加 {}文 話者区間 {}", idText(id), gaps.size(),
                           added.size(), turns.size()));
  setNotice(Notice{added.empty() ? std::string("新しく文字起こしできる発言はありませんでした（無音だった可能性があります）。")
                                 : fmt::format("{}文を追加しました。", added.size()),
                   std::nullopt});
  extractTasksIfNeeded(id, false);
}

// ---- Helpers ------------------------------------------------------------------------------------

std::vector<LiveModel::TimeRange> LiveModel::withContext(const std::vector<TimeRange>& ranges, double before) {
  std::vector<TimeRange> sorted = ranges;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TimeRange& a, const TimeRange& b) { return a.lowerBound < b.lowerBound; });
  std::vector<TimeRange> widened;
  for (const TimeRange& range : sorted) {
    const double lower = std::max(range.lowerBound - before, 0.0);
    if (!widened.empty() && lower <= widened.back().upperBound) {
      widened.back().upperBound = std::max(range.upperBound, widened.back().upperBound);
    } else {
      widened.push_back({lower, range.upperBound});
    }
  }
  return widened;
}

std::map<int, int> LiveModel::speakerMapping(const std::vector<Turn>& turns, const std::vector<LiveSegment>& existing) {
  std::map<std::pair<int, int>, double> overlaps;
  for (const LiveSegment& segment : existing) {
    if (!segment.speaker || !segment.start || !segment.end || !(*segment.start < *segment.end)) continue;
    for (const Turn& turn : turns) {
      if (!(*segment.start < turn.end && turn.start < *segment.end)) continue;
      overlaps[{turn.speaker, *segment.speaker}] += std::min(turn.end, *segment.end) - std::max(turn.start, *segment.start);
    }
  }
  std::vector<std::pair<std::pair<int, int>, double>> entries(overlaps.begin(), overlaps.end());
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.second > b.second; });

  std::map<int, int> mapping;
  std::set<int> taken;
  for (const auto& [speakers, overlap] : entries) {
    const auto [turnSpeaker, segmentSpeaker] = speakers;
    if (mapping.count(turnSpeaker) || taken.count(segmentSpeaker)) continue;
    mapping[turnSpeaker] = segmentSpeaker;
    taken.insert(segmentSpeaker);
  }
  std::set<int> turnSpeakers;
  for (const Turn& turn : turns) turnSpeakers.insert(turn.speaker);
  for (const int turnSpeaker : turnSpeakers) {
    if (mapping.count(turnSpeaker)) continue;
    int given = turnSpeaker;
    for (int free = 0; free < kFreeSpeakers; ++free) {
      if (!taken.count(free)) {
        given = free;
        break;
      }
    }
    mapping[turnSpeaker] = given;
    taken.insert(given);
  }
  return mapping;
}

std::vector<LiveModel::TimeRange> LiveModel::uncoveredRanges(const std::vector<LiveSegment>& segments, double duration) {
  std::vector<std::pair<double, double>> spans;
  for (const LiveSegment& segment : segments) {
    if (segment.start) spans.emplace_back(*segment.start, endOf(segment.start, segment.end));
  }
  std::stable_sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<TimeRange> ranges;
  double covered = 0;
  for (const auto& [start, end] : spans) {
    if (start - covered >= kShortestGapSeconds) ranges.push_back({covered + kSlackSeconds, start - kSlackSeconds});
    covered = std::max(covered, end);
  }
  if (duration - covered >= kShortestTailSeconds) ranges.push_back({covered + kSlackSeconds, duration});
  return ranges;
}

}  // namespace veltovoice
