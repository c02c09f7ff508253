#pragma once

#include <optional>
#include <string>

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

namespace veltovoice {

// One transcript sentence of a conversation. A plain value.
//
// JSON: {"id": "<UUID>", "text": "...", "start": 1.5, "end": 3.25, "speaker": 0,
//        "speakerLocked": false, "edited": false}; "start", "end" and "speaker" are left out when
// absent; the rest is required.
struct LiveSegment {
  QUuid id = QUuid::createUuid();
  std::string text;
  std::optional<double> start;  // seconds from the start of the recording
  std::optional<double> end;
  std::optional<int> speaker;   // slot, 0 and up
  bool speakerLocked = false;   // chosen by hand; automatic assignment leaves it alone
  bool edited = false;          // text edited by hand

  bool operator==(const LiveSegment&) const = default;

  // Throws platform::JsonCodingError when a required member is missing, null or mistyped, or a value is
  // invalid. Unknown members are ignored.
  static LiveSegment fromJson(const nlohmann::json& json);
  // Throws platform::JsonCodingError (valueNotFinite) for a time that is not a finite number.
  nlohmann::json toJson() const;
};

}  // namespace veltovoice
