#include "app/Model/TaskItem.h"

#include "app/Model/JsonFields.h"

namespace veltovoice {

using namespace detail;

TaskItem TaskItem::fromJson(const nlohmann::json& json) {
  requireObject(json, "TaskItem");
  return TaskItem{
      .id = readUuid(requiredMember(json, "id"), "id"),
      .title = readString(requiredMember(json, "title"), "title"),
      .assignee = readString(requiredMember(json, "assignee"), "assignee"),
      .due = readString(requiredMember(json, "due"), "due"),
      .sourceStart = readOptional<double>(json, "sourceStart", readDouble),
      .done = readBool(requiredMember(json, "done"), "done"),
      .manual = readBool(requiredMember(json, "manual"), "manual"),
      .parentID = readOptional<QUuid>(json, "parentID", readUuid),
      .collapsed = readOptional<bool>(json, "collapsed", readBool),
  };
}

nlohmann::json TaskItem::toJson() const {
  Json json = Json::object();
  json["id"] = uuidText(id);
  json["title"] = title;
  json["assignee"] = assignee;
  json["due"] = due;
  if (sourceStart) json["sourceStart"] = writeDouble(*sourceStart, "sourceStart");
  json["done"] = done;
  json["manual"] = manual;
  if (parentID) json["parentID"] = uuidText(*parentID);
  if (collapsed) json["collapsed"] = *collapsed;
  return json;
}

}  // namespace veltovoice
