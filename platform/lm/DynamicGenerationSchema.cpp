#include "platform/lm/DynamicGenerationSchema.h"

#include <utility>

namespace platform {

DynamicGenerationSchema::DynamicGenerationSchema(Kind kind) : kind_(kind) {}

DynamicGenerationSchema::DynamicGenerationSchema(std::string name,
                                                 std::optional<std::string> description,
                                                 std::vector<Property> properties)
    : kind_(Kind::object),
      name_(std::move(name)),
      description_(std::move(description)),
      properties_(std::move(properties)) {}

DynamicGenerationSchema DynamicGenerationSchema::arrayOf(DynamicGenerationSchema element,
                                                         std::optional<int> minimumElements,
                                                         std::optional<int> maximumElements) {
  DynamicGenerationSchema schema(Kind::array);
  schema.element_ = std::make_shared<const DynamicGenerationSchema>(std::move(element));
  schema.minimumElements_ = minimumElements;
  schema.maximumElements_ = maximumElements;
  return schema;
}

DynamicGenerationSchema DynamicGenerationSchema::referenceTo(std::string name) {
  DynamicGenerationSchema schema(Kind::reference);
  schema.name_ = std::move(name);
  return schema;
}

DynamicGenerationSchema DynamicGenerationSchema::anyOf(std::string name,
                                                       std::optional<std::string> description,
                                                       std::vector<std::string> choices) {
  DynamicGenerationSchema schema(Kind::choices);
  schema.name_ = std::move(name);
  schema.description_ = std::move(description);
  schema.choices_ = std::move(choices);
  return schema;
}

DynamicGenerationSchema DynamicGenerationSchema::string() { return DynamicGenerationSchema(Kind::string); }

DynamicGenerationSchema DynamicGenerationSchema::integer() { return DynamicGenerationSchema(Kind::integer); }

}  // namespace platform
