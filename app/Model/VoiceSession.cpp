#include "app/Model/VoiceSession.h"

#include <set>
#include <utility>

#include <fmt/format.h>

#include "app/Model/Clock.h"
#include "app/Model/JsonFields.h"
#include "app/Model/UserLocale.h"
#include "platform/text/DateFormat.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {

using namespace detail;

namespace {

constexpr const char* kStartLinePrefix = "- 開始: ";
constexpr const char* kNote = "- 時刻は録音位置の目安。話者はVELTO VOICEの推定（おおまか）と手修正";

// Depth-first, pre-order walk of the tasks under `parent` (nullopt: the top of the tree).
// `path` holds the ids being visited, so that repeated ids in damaged data cannot loop forever.
void outlineChildren(const std::vector<TaskItem>& tasks, const std::optional<QUuid>& parent,
                     int depth, std::set<QUuid>& path, std::vector<std::string>& lines) {
  for (const TaskItem& task : tasks) {
    if (task.parentID != parent) continue;
    std::string line(static_cast<std::size_t>(depth) * 2, ' ');
    line += task.done ? "- [x] " : "- [ ] ";
    line += task.title;
    if (!task.assignee.empty()) line += "（" + task.assignee + "）";
    if (!task.due.empty()) line += "（" + task.due + "）";
    lines.push_back(std::move(line));
    if (path.insert(task.id).second) {
      outlineChildren(tasks, task.id, depth + 1, path, lines);
      path.erase(task.id);
    }
  }
}

}  // namespace

std::string VoiceSession::speakerName(int slot) const {
  if (auto it = speakerNames.find(slot); it != speakerNames.end()) {
    std::string trimmed = platform::text::trimBlanks(it->second);
    if (!trimmed.empty()) return trimmed;
  }
  if (slot >= 0 && slot <= 3) return std::string("話者") + static_cast<char>('A' + slot);
  // Widened, so that a slot as large as a damaged file may hold still reads as a number.
  return fmt::format("話者{}", static_cast<long long>(slot) + 1);
}

std::optional<double> VoiceSession::topicStart(const TopicTag& topic) const {
  for (const LiveSegment& segment : segments) {
    if (segment.id == topic.startSegmentID) return segment.start;
  }
  return std::nullopt;
}

std::string VoiceSession::transcriptText() const {
  std::map<QUuid, const std::string*> topicTitles;
  if (topics) {
    for (const TopicTag& topic : *topics) topicTitles.emplace(topic.startSegmentID, &topic.title);
  }
  std::string text;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const LiveSegment& segment = segments[i];
    if (i > 0) text += '\n';
    if (auto it = topicTitles.find(segment.id); it != topicTitles.end()) {
      text += "\n■ " + *it->second + "\n";
    }
    text += "[" + (segment.start ? clock(*segment.start) : std::string("--:--")) + "] ";
    if (segment.speaker) text += speakerName(*segment.speaker) + "：";
    text += segment.text;
  }
  return text;
}

std::string VoiceSession::minutesMarkdown() const {
  if (!topics) return {};
  bool hasContent = false;
  for (const TopicTag& topic : *topics) {
    hasContent = hasContent || !topic.points.empty() || !topic.decisions.empty();
  }
  if (!hasContent) return {};
  std::string text = "## 議事録\n\n";
  for (const TopicTag& topic : *topics) {
    text += "### " + topic.title;
    if (std::optional<double> start = topicStart(topic)) text += "（" + clock(*start) + "〜）";
    text += "\n\n";
    for (const std::string& point : topic.points) text += "- " + point + "\n";
    for (const std::string& decision : topic.decisions) text += "- **決定**：" + decision + "\n";
    text += "\n";
  }
  return text;
}

std::vector<std::string> VoiceSession::taskOutline() const {
  std::vector<std::string> lines;
  if (!tasks) return lines;
  std::set<QUuid> path;
  outlineChildren(*tasks, std::nullopt, 0, path, lines);
  std::set<QUuid> ids;
  for (const TaskItem& task : *tasks) ids.insert(task.id);
  for (const TaskItem& task : *tasks) {
    if (task.parentID && !ids.count(*task.parentID)) {
      lines.push_back((task.done ? "- [x] " : "- [ ] ") + task.title);
    }
  }
  return lines;
}

std::string VoiceSession::markdown() const {
  std::string text = "# " + title + "\n\n" + kStartLinePrefix;
  text += platform::text::formatDateSkeleton(unixSecondsFromRecordTime(startedAt), "yMdjmmss",
                                             userLocaleName());
  text += "\n";
  text += kNote;
  text += "\n\n";
  const std::string minutes = minutesMarkdown();
  const std::vector<std::string> outline = taskOutline();
  if (!minutes.empty() || !outline.empty()) {
    text += minutes;
    if (!outline.empty()) {
      text += "## タスク\n\n";
      for (std::size_t i = 0; i < outline.size(); ++i) {
        if (i > 0) text += '\n';
        text += outline[i];
      }
      text += "\n\n";
    }
    text += "## 文字起こし\n\n";
  }
  text += transcriptText();
  text += "\n";
  return text;
}

VoiceSession VoiceSession::fromJson(const nlohmann::json& json) {
  requireObject(json, "VoiceSession");
  return VoiceSession{
      .id = readUuid(requiredMember(json, "id"), "id"),
      .title = readString(requiredMember(json, "title"), "title"),
      .startedAt = readDouble(requiredMember(json, "startedAt"), "startedAt"),
      .duration = readOptional<double>(json, "duration", readDouble),
      .audioFile = readOptional<std::string>(json, "audioFile", readString),
      .segments = readRecords<LiveSegment>(requiredMember(json, "segments"), "segments"),
      .speakerNames = readSlotNames(requiredMember(json, "speakerNames"), "speakerNames"),
      .markdownFile = readOptional<std::string>(json, "markdownFile", readString),
      .tasks = readOptional<std::vector<TaskItem>>(json, "tasks", readRecords<TaskItem>),
      .tasksScannedThrough = readOptional<double>(json, "tasksScannedThrough", readDouble),
      .topics = readOptional<std::vector<TopicTag>>(json, "topics", readRecords<TopicTag>),
      .segmentsBackup =
          readOptional<std::vector<LiveSegment>>(json, "segmentsBackup", readRecords<LiveSegment>),
      .memo = readOptional<std::string>(json, "memo", readString),
  };
}

nlohmann::json VoiceSession::toJson() const {
  Json json = Json::object();
  json["id"] = uuidText(id);
  json["title"] = title;
  json["startedAt"] = writeDouble(startedAt, "startedAt");
  if (duration) json["duration"] = writeDouble(*duration, "duration");
  if (audioFile) json["audioFile"] = *audioFile;
  json["segments"] = writeRecords(segments);
  Json names = Json::object();
  for (const auto& [slot, name] : speakerNames) names[std::to_string(slot)] = name;
  json["speakerNames"] = std::move(names);
  if (markdownFile) json["markdownFile"] = *markdownFile;
  if (tasks) json["tasks"] = writeRecords(*tasks);
  if (tasksScannedThrough) {
    json["tasksScannedThrough"] = writeDouble(*tasksScannedThrough, "tasksScannedThrough");
  }
  if (topics) json["topics"] = writeRecords(*topics);
  if (segmentsBackup) json["segmentsBackup"] = writeRecords(*segmentsBackup);
  if (memo) json["memo"] = *memo;
  return json;
}

VoiceSession VoiceSession::fromJsonText(std::string_view text) {
  Json json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) throw platform::JsonCodingError::dataCorrupted("not JSON");
  return fromJson(json);
}

std::string VoiceSession::toJsonText() const {
  // Texts are UTF-8 by contract; should a stray invalid byte slip in, it is written as U+FFFD
  // rather than losing the whole save.
  return toJson().dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace veltovoice
