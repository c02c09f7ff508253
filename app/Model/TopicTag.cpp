#include "app/Model/TopicTag.h"

#include "app/Model/JsonFields.h"

namespace veltovoice {

using namespace detail;

TopicTag TopicTag::fromJson(const nlohmann::json& json) {
  requireObject(json, "TopicTag");
  return TopicTag{
      .id = readUuid(requiredMember(json, "id"), "id"),
      .title = readString(requiredMember(json, "title"), "title"),
      .startSegmentID = readUuid(requiredMember(json, "startSegmentID"), "startSegmentID"),
      .points = readStrings(requiredMember(json, "points"), "points"),
      .decisions = readStrings(requiredMember(json, "decisions"), "decisions"),
  };
}

nlohmann::json TopicTag::toJson() const {
  Json json = Json::object();
  json["id"] = uuidText(id);
  json["title"] = title;
  json["startSegmentID"] = uuidText(startSegmentID);
  json["points"] = points;
  json["decisions"] = decisions;
  return json;
}

}  // namespace veltovoice
