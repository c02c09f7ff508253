#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace voicememos {

// A folder of the Voice Memos library. A plain value.
struct Folder {
  // The folder's primary key in the library database. Codes to JSON as a single integer.
  struct ID {
    std::int64_t rawValue = 0;

    // The number in decimal.
    std::string description() const;

    bool operator==(const ID&) const = default;
  };

  ID id;
  // None when the library holds no usable name.
  std::optional<std::string> name;

  bool operator==(const Folder&) const = default;
};

void to_json(nlohmann::json& json, const Folder::ID& id);
// Throws nlohmann::json::exception when `json` is not an integer.
void from_json(const nlohmann::json& json, Folder::ID& id);

}  // namespace voicememos

template <>
struct std::hash<voicememos::Folder::ID> {
  std::size_t operator()(const voicememos::Folder::ID& id) const noexcept {
    return std::hash<std::int64_t>()(id.rawValue);
  }
};
