#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

#include "app/Model/LiveSegment.h"
#include "app/Model/TaskItem.h"
#include "app/Model/TopicTag.h"

namespace veltovoice {

// One stored conversation: transcript, speakers, minutes, tasks and memo. A plain value: the
// conversation model hands out copies and takes changed copies back.
//
// JSON (the whole content of a conversation file), one object:
//   required: "id" (upper-case UUID text; either case read), "title", "startedAt" (seconds since
//             2001-01-01 00:00:00 UTC), "segments" (array of LiveSegment), "speakerNames"
//             (object: decimal slot -> name)
//   optional: "duration", "audioFile", "markdownFile", "tasks" (array of TaskItem),
//             "tasksScannedThrough", "topics" (array of TopicTag), "segmentsBackup" (array of
//             LiveSegment), "memo"
// An absent optional is left out, never written as null; a null member reads as absent. An empty
// array is written and read as an empty list, kept apart from an absent one. Unknown members are
// ignored. A missing or mistyped required member anywhere makes the whole conversation unreadable.
struct VoiceSession {
  QUuid id = QUuid::createUuid();
  std::string title;
  double startedAt = 0;                    // seconds since 2001-01-01 UTC
  std::optional<double> duration;          // seconds; absent while unknown
  std::optional<std::string> audioFile;    // file name inside SessionStore::audioDirectory
  std::vector<LiveSegment> segments;
  std::map<int, std::string> speakerNames;
  std::optional<std::string> markdownFile; // file name inside SessionStore::sessionsDirectory
  std::optional<std::vector<TaskItem>> tasks;
  std::optional<double> tasksScannedThrough;
  std::optional<std::vector<TopicTag>> topics;
  std::optional<std::vector<LiveSegment>> segmentsBackup;
  std::optional<std::string> memo;

  bool operator==(const VoiceSession&) const = default;

  // The display name of speaker slot `slot`: the custom name trimmed of blanks and tabs (not line
  // breaks) when something remains; else 話者A to 話者D for slots 0 to 3; else 話者 and slot + 1.
  // REQUIRES: slot >= 0.
  std::string speakerName(int slot) const;

  // The start of the first sentence whose id is `topic.startSegmentID` (itself possibly absent);
  // nothing when no sentence has that id.
  std::optional<double> topicStart(const TopicTag& topic) const;

  // The plain transcript: one "[time] speaker：text" entry per sentence, a topic's start marked
  // by an empty line and "■ title" above its sentence.
  std::string transcriptText() const;

  // The minutes as Markdown ("## 議事録" ...); empty when no topic has points or decisions.
  std::string minutesMarkdown() const;

  // The task tree as checklist lines ("- [ ] title（assignee）（due）"), two blanks per level,
  // followed by tasks whose parent is missing; no line feeds.
  std::vector<std::string> taskOutline() const;

  // The whole conversation as one Markdown document: title, start (in the user's locale and time
  // zone), note, minutes, tasks and transcript.
  std::string markdown() const;

  // Throws platform::JsonCodingError as LiveSegment::fromJson does.
  static VoiceSession fromJson(const nlohmann::json& json);
  // Throws platform::JsonCodingError (valueNotFinite) when any double is not a finite number.
  nlohmann::json toJson() const;

  // Decodes conversation file bytes. Throws platform::JsonCodingError (dataCorrupted for text that is not
  // JSON, or not valid UTF-8).
  static VoiceSession fromJsonText(std::string_view text);
  // The conversation file bytes: indented, one member per line, member names sorted.
  // Throws platform::JsonCodingError as toJson does.
  std::string toJsonText() const;
};

}  // namespace veltovoice
