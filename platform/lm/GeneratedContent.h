#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace platform {

// A structured answer, or one part of it: a JSON value whose named properties are read as typed
// values. Immutable; copies share the value; safe from any thread.
class GeneratedContent {
 public:
  explicit GeneratedContent(nlohmann::json value);

  // The property `property` of this object read as T, one of std::int64_t, std::string,
  // std::vector<std::string>, std::vector<std::int64_t> and std::vector<GeneratedContent>.
  // An integer is a JSON integer or a number with an exact integral value in range; the string
  // "7" is no integer.
  // Throws GenerationError::decodingFailure when the property is missing (or this is no object)
  // or its value has another type.
  template <typename T>
  T value(std::string_view property) const;

  // The value as compact JSON text.
  std::string jsonString() const;

  const nlohmann::json& json() const { return *value_; }

 private:
  std::shared_ptr<const nlohmann::json> value_;
};

extern template std::int64_t GeneratedContent::value<std::int64_t>(std::string_view) const;
extern template std::string GeneratedContent::value<std::string>(std::string_view) const;
extern template std::vector<std::string> GeneratedContent::value<std::vector<std::string>>(
    std::string_view) const;
extern template std::vector<std::int64_t> GeneratedContent::value<std::vector<std::int64_t>>(
    std::string_view) const;
extern template std::vector<GeneratedContent>
GeneratedContent::value<std::vector<GeneratedContent>>(std::string_view) const;

}  // namespace platform
