#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// The header fields of a request or response, in the order they were added. Names compare without
// regard to ASCII case. A value type.
class HttpHeaders {
 public:
  // Appends a field, keeping any earlier one of the same name.
  void add(std::string name, std::string value);
  // Replaces every field of that name by one field.
  void set(std::string name, std::string value);
  void remove(std::string_view name);

  // The value of the field, several fields of one name joined with ", "; nullopt when absent.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const;

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
  bool operator==(const HttpHeaders&) const = default;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace platform
