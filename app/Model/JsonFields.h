#pragma once

#include <map>
#include <string>

#include <QUuid>

#include "platform/sys/JsonFields.h"

// The conversation records' own member readers, beside the shared ones. Readers throw
// platform::JsonCodingError. Only the records' sources include this.
namespace veltovoice::detail {

using namespace platform::json;

QUuid readUuid(const Json& value, const char* name);
std::map<int, std::string> readSlotNames(const Json& value, const char* name);

// Upper-case 36-character UUID text.
std::string uuidText(const QUuid& id);

}  // namespace veltovoice::detail
