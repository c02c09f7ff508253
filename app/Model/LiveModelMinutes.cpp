#include "app/Model/LiveModel.h"

#include <algorithm>
#include <utility>

#include <QPointer>
#include <fmt/format.h>

#include "app/Model/AppLog.h"
#include "app/Model/Clipboard.h"
#include "app/Model/UserLocale.h"
#include "app/Processing/TaskExtractor.h"
#include "platform/lm/SystemLanguageModel.h"
#include "platform/text/DateFormat.h"

namespace veltovoice {

namespace {

const std::string kBoundaryPhase = "話題を区切っています…";
constexpr int kShortSpanRows = 9;
constexpr double kShortSpanSeconds = 120;

// The boundaries that name a row of the snapshot, so that every topic has its sentence.
std::vector<MinutesMaker::Boundary> withinRows(std::vector<MinutesMaker::Boundary> boundaries,
                                               std::size_t count) {
  std::erase_if(boundaries, [&](const MinutesMaker::Boundary& boundary) {
    return boundary.index < 0 || static_cast<std::size_t>(boundary.index) >= count;
  });
  return boundaries;
}

}  // namespace

void LiveModel::makeMinutes(const QUuid& id) {
  const auto availability = services_.languageModel->availability();
  if (!availability.isAvailable()) {
    setNotice(Notice{TaskExtractor::availabilityText(*availability.unavailableReason), std::nullopt});
    return;
  }
  if (liveID_ == id || minutesJobs_.contains(id)) return;
  const VoiceSession* found = session(id);
  if (!found) return;

  MinutesRows rows;
  for (std::size_t i = 0; i < found->segments.size(); ++i) {
    const LiveSegment& segment = found->segments[i];
    const bool named = segment.speaker && *segment.speaker >= 0;
    rows.lines.push_back(MinutesMaker::Line{static_cast<int>(i),
                                            named ? found->speakerName(*segment.speaker) : "話者",
                                            segment.text});
    rows.ids.push_back(segment.id);
    rows.starts.push_back(segment.start);
  }

  setJob(id, kBoundaryPhase);
  const ConversationJobs::Handle handle = minutesJobs_.start(id);
  runJob(minutesJobs_, id, handle.run,
         minutesJob(id, std::move(rows), handle.stop.get_token()),
         [this, id](const std::exception& error) { minutesFailed(id, error); });
}

QCoro::Task<> LiveModel::minutesJob(QUuid id, MinutesRows rows, std::stop_token stop) {
  QPointer<LiveModel> self(this);
  const std::shared_ptr<platform::SystemLanguageModel> model = services_.languageModel;
  const int count = static_cast<int>(rows.lines.size());

  // MinutesMaker reports on the GUI thread, so the text is set at once.
  auto finding = MinutesMaker::boundaries(
      model, rows.lines,
      [self, id](double fraction) {
        if (self) self->setJob(id, progressText(kBoundaryPhase, fraction));
      },
      stop);
  const std::vector<MinutesMaker::Boundary> found = co_await std::move(finding);
  if (!self) co_return;

  const std::vector<MinutesMaker::Boundary> kept =
      coarsen(withinRows(found, rows.lines.size()), rows.starts, count);
  std::vector<TopicTag> topics;
  for (const MinutesMaker::Boundary& boundary : kept) {
    TopicTag topic;
    topic.title = boundary.title;
    topic.startSegmentID = rows.ids[static_cast<std::size_t>(boundary.index)];
    topics.push_back(std::move(topic));
  }
  editSession(id, [&](VoiceSession& s) { s.topics = topics; });
  // The headings reach the file before the first summary is asked for.
  saveNow(id);

  for (std::size_t i = 0; i < kept.size(); ++i) {
    setJob(id, fmt::format("議事録をまとめています… {}/{}", i + 1, kept.size()));
    const int from = kept[i].index;
    const int to = i + 1 < kept.size() ? kept[i + 1].index : count;
    if (from >= to) continue;
    std::vector<MinutesMaker::Line> lines(rows.lines.begin() + from, rows.lines.begin() + to);
    auto summarizing = MinutesMaker::summarize(model, topics[i].title, std::move(lines), stop);
    const std::optional<MinutesMaker::Summary> summary = co_await std::move(summarizing);
    if (!self) co_return;
    if (!summary) continue;
    // Matched by id: a topic renamed meanwhile still gets its summary, a deleted one nothing.
    const QUuid topicID = topics[i].id;
    const VoiceSession* current = session(id);
    const bool present = current && current->topics &&
                         std::any_of(current->topics->begin(), current->topics->end(),
                                     [&](const TopicTag& topic) { return topic.id == topicID; });
    if (present) {
      editSession(id, [&](VoiceSession& s) {
        for (TopicTag& topic : *s.topics) {
          if (topic.id != topicID) continue;
          topic.points = summary->points;
          topic.decisions = summary->decisions;
        }
      });
    }
    scheduleSave(id);
  }
}

void LiveModel::minutesFailed(const QUuid& id, const std::exception& error) {
  AppLog::error("議事録の失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
  setNotice(Notice{std::string("議事録を作れませんでした: ") + error.what(), std::nullopt});
}

std::vector<MinutesMaker::Boundary> LiveModel::coarsen(
    const std::vector<MinutesMaker::Boundary>& boundaries,
    const std::vector<std::optional<double>>& starts, int count) {
  const auto startOf = [&](int row) -> double {
    if (row < 0 || static_cast<std::size_t>(row) >= starts.size()) return 0;
    return starts[static_cast<std::size_t>(row)].value_or(0);
  };
  std::vector<MinutesMaker::Boundary> kept;
  for (std::size_t k = 0; k < boundaries.size(); ++k) {
    const MinutesMaker::Boundary& boundary = boundaries[k];
    if (kept.empty()) {
      kept.push_back(boundary);
      continue;
    }
    if (TaskExtractor::similar(kept.back().title, boundary.title)) continue;
    const int end = k + 1 < boundaries.size() ? boundaries[k + 1].index : count;
    const int rows = std::max(0, end - boundary.index);
    const double duration = rows > 0 ? startOf(end - 1) - startOf(boundary.index) : 0;
    if (rows <= kShortSpanRows && duration < kShortSpanSeconds) continue;
    kept.push_back(boundary);
  }
  return kept;
}

void LiveModel::copyMinutes(const QUuid& id) {
  const VoiceSession* found = session(id);
  if (!found) return;
  std::string text = "# " + found->title + "\n\n- 日時: ";
  text += platform::text::formatDateStyle(unixSecondsFromRecordTime(found->startedAt),
                                          platform::text::DateStyle::long_,
                                          platform::text::TimeStyle::shortened, userLocaleName());
  text += "\n\n";
  text += found->minutesMarkdown();
  const std::vector<std::string> outline = found->taskOutline();
  if (!outline.empty()) {
    text += "## タスク\n\n";
    for (std::size_t i = 0; i < outline.size(); ++i) {
      if (i > 0) text += '\n';
      text += outline[i];
    }
    text += "\n";
  }
  services_.clipboard->setText(text);
}

}  // namespace veltovoice
