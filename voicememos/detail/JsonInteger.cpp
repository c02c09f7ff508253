#include "voicememos/detail/JsonInteger.h"

#include <limits>

#include <nlohmann/json.hpp>

namespace voicememos::detail {

std::int64_t decodeInt64(const nlohmann::json& json) {
  if (json.is_number_unsigned()) {
    const auto value = json.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw nlohmann::json::out_of_range::create(406, "integer above the 64-bit range", &json);
    }
    return static_cast<std::int64_t>(value);
  }
  if (!json.is_number_integer()) {
    throw nlohmann::json::type_error::create(302, "an identifier must be an integer", &json);
  }
  return json.get<std::int64_t>();
}

}  // namespace voicememos::detail
