#include "voicememos/Folder.h"

#include <nlohmann/json.hpp>

#include "voicememos/detail/JsonInteger.h"

namespace voicememos {

std::string Folder::ID::description() const { return std::to_string(rawValue); }

void to_json(nlohmann::json& json, const Folder::ID& id) { json = id.rawValue; }

void from_json(const nlohmann::json& json, Folder::ID& id) {
  id.rawValue = detail::decodeInt64(json);
}

}  // namespace voicememos
