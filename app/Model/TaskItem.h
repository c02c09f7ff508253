#pragma once

#include <optional>
#include <string>

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

namespace veltovoice {

// One node of a conversation's task tree; the tree is given by `parentID` alone and siblings keep
// their list order. A plain value.
//
// JSON: {"id": "<UUID>", "title": "...", "assignee": "", "due": "", "sourceStart": 12.5,
//        "done": false, "manual": false, "parentID": "<UUID>", "collapsed": true};
// "sourceStart", "parentID" and "collapsed" are left out when absent; the rest is required.
struct TaskItem {
  QUuid id = QUuid::createUuid();
  std::string title;
  std::string assignee;  // empty: nobody named
  std::string due;       // free text; empty: no date
  std::optional<double> sourceStart;
  bool done = false;
  bool manual = false;   // added or edited by the user; kept when tasks are extracted again
  std::optional<QUuid> parentID;
  std::optional<bool> collapsed;

  bool operator==(const TaskItem&) const = default;

  // Throws platform::JsonCodingError as LiveSegment::fromJson does.
  static TaskItem fromJson(const nlohmann::json& json);
  // Throws platform::JsonCodingError (valueNotFinite) for a `sourceStart` that is not a finite number.
  nlohmann::json toJson() const;
};

}  // namespace veltovoice
