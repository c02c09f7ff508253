#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One node of a structured-answer schema built at run time: an object with named properties in
// order, an array of a schema, a reference by name to another named schema, a choice among fixed
// strings, or a plain string or integer leaf. Join nodes into a GenerationSchema to use them.
// A value type; safe to share between threads once built.
class DynamicGenerationSchema {
 public:
  struct Property;

  enum class Kind { object, array, reference, choices, string, integer };

  // An object named `name` whose properties keep the given order.
  DynamicGenerationSchema(std::string name, std::optional<std::string> description,
                          std::vector<Property> properties);

  // An array of `element`, with optional bounds on its length.
  static DynamicGenerationSchema arrayOf(DynamicGenerationSchema element,
                                         std::optional<int> minimumElements = std::nullopt,
                                         std::optional<int> maximumElements = std::nullopt);
  // The named schema `name`, resolved by GenerationSchema among its root and dependencies.
  static DynamicGenerationSchema referenceTo(std::string name);
  // A string that is one of `choices`, known under `name`.
  static DynamicGenerationSchema anyOf(std::string name, std::optional<std::string> description,
                                       std::vector<std::string> choices);
  static DynamicGenerationSchema string();
  static DynamicGenerationSchema integer();

  Kind kind() const { return kind_; }
  // The name of an object or choice; the target of a reference; empty otherwise.
  const std::string& name() const { return name_; }
  const std::optional<std::string>& description() const { return description_; }
  const std::vector<Property>& properties() const { return properties_; }
  // The element of an array. REQUIRES: kind() == Kind::array.
  const DynamicGenerationSchema& element() const { return *element_; }
  std::optional<int> minimumElements() const { return minimumElements_; }
  std::optional<int> maximumElements() const { return maximumElements_; }
  const std::vector<std::string>& choices() const { return choices_; }

 private:
  explicit DynamicGenerationSchema(Kind kind);

  Kind kind_;
  std::string name_;
  std::optional<std::string> description_;
  std::vector<Property> properties_;
  std::shared_ptr<const DynamicGenerationSchema> element_;
  std::optional<int> minimumElements_;
  std::optional<int> maximumElements_;
  std::vector<std::string> choices_;
};

// One named property of an object schema; an optional property may be left out of an answer.
struct DynamicGenerationSchema::Property {
  std::string name;
  std::optional<std::string> description;
  DynamicGenerationSchema schema;
  bool isOptional = false;
};

}  // namespace platform
