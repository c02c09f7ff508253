#include "app/Model/LiveSegment.h"

#include "app/Model/JsonFields.h"

namespace veltovoice {

using namespace detail;

LiveSegment LiveSegment::fromJson(const nlohmann::json& json) {
  requireObject(json, "LiveSegment");
  // Designated initialisers, so that no fresh id is drawn for a record that has one.
  return LiveSegment{
      .id = readUuid(requiredMember(json, "id"), "id"),
      .text = readString(requiredMember(json, "text"), "text"),
      .start = readOptional<double>(json, "start", readDouble),
      .end = readOptional<double>(json, "end", readDouble),
      .speaker = readOptional<int>(json, "speaker", readInt),
      .speakerLocked = readBool(requiredMember(json, "speakerLocked"), "speakerLocked"),
      .edited = readBool(requiredMember(json, "edited"), "edited"),
  };
}

nlohmann::json LiveSegment::toJson() const {
  Json json = Json::object();
  json["id"] = uuidText(id);
  json["text"] = text;
  if (start) json["start"] = writeDouble(*start, "start");
  if (end) json["end"] = writeDouble(*end, "end");
  if (speaker) json["speaker"] = *speaker;
  json["speakerLocked"] = speakerLocked;
  json["edited"] = edited;
  return json;
}

}  // namespace veltovoice
