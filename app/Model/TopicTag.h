#pragma once

#include <string>
#include <vector>

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

namespace veltovoice {

// One topic of a conversation's minutes. A plain value.
//
// JSON: {"id": "<UUID>", "title": "...", "startSegmentID": "<UUID>", "points": ["..."],
//        "decisions": ["..."]}; every member is required.
struct TopicTag {
  QUuid id = QUuid::createUuid();
  std::string title;
  QUuid startSegmentID;  // the sentence where the topic begins
  std::vector<std::string> points;
  std::vector<std::string> decisions;

  bool operator==(const TopicTag&) const = default;

  // Throws platform::JsonCodingError as LiveSegment::fromJson does.
  static TopicTag fromJson(const nlohmann::json& json);
  nlohmann::json toJson() const;
};

}  // namespace veltovoice
