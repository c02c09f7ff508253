#pragma once

#include <cstdint>

#include <nlohmann/json_fwd.hpp>

namespace voicememos::detail {

// A JSON integer that fits a signed 64-bit value. Throws nlohmann::json::type_error for any other
// value (floats included: an identifier is never 42.0), out_of_range above the 64-bit range.
std::int64_t decodeInt64(const nlohmann::json& json);

}  // namespace voicememos::detail
