#include "platform/lm/GenerationSchema.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "platform/sys/InvalidArgumentError.h"

namespace platform {
namespace {

using Json = nlohmann::ordered_json;
using Kind = DynamicGenerationSchema::Kind;

class Renderer {
 public:
  explicit Renderer(const std::map<std::string, const DynamicGenerationSchema*>& named)
      : named_(named) {}

  Json render(const DynamicGenerationSchema& schema) {
    switch (schema.kind()) {
      case Kind::object: return renderObject(schema);
      case Kind::array: return renderArray(schema);
      case Kind::reference: return renderReference(schema.name());
      case Kind::choices: {
        Json json{{"type", "string"}};
        if (schema.description()) json["description"] = *schema.description();
        json["enum"] = schema.choices();
        return json;
      }
      case Kind::string: return Json{{"type", "string"}};
      case Kind::integer: return Json{{"type", "integer"}};
    }
    return Json::object();
  }

 private:
  Json renderObject(const DynamicGenerationSchema& schema) {
    Json json{{"type", "object"}};
    if (schema.description()) json["description"] = *schema.description();
    Json properties = Json::object();
    Json required = Json::array();
    for (const auto& property : schema.properties()) {
      properties[property.name] = renderProperty(property);
      if (!property.isOptional) required.push_back(property.name);
    }
    json["properties"] = std::move(properties);
    json["required"] = std::move(required);
    json["additionalProperties"] = false;
    return json;
  }

  // The property's own description comes first and wins over that of the schema it names.
  Json renderProperty(const DynamicGenerationSchema::Property& property) {
    Json rendered = render(property.schema);
    if (!property.description) return rendered;
    Json json{{"description", *property.description}};
    for (auto& [key, value] : rendered.items()) {
      if (key != "description") json[key] = value;
    }
    return json;
  }

  Json renderArray(const DynamicGenerationSchema& schema) {
    Json json{{"type", "array"}, {"items", render(schema.element())}};
    if (schema.minimumElements()) json["minItems"] = *schema.minimumElements();
    if (schema.maximumElements()) json["maxItems"] = *schema.maximumElements();
    return json;
  }

  Json renderReference(const std::string& name) {
    auto found = named_.find(name);
    if (found == named_.end()) {
      throw InvalidArgumentError("schema", "no schema named \"" + name + "\"");
    }
    if (std::find(open_.begin(), open_.end(), name) != open_.end()) {
      throw InvalidArgumentError("schema", "references to \"" + name + "\" form a cycle");
    }
    open_.push_back(name);
    Json json = render(*found->second);
    open_.pop_back();
    return json;
  }

  const std::map<std::string, const DynamicGenerationSchema*>& named_;
  std::vector<std::string> open_;
};

}  // namespace

GenerationSchema::GenerationSchema(const DynamicGenerationSchema& root,
                                   const std::vector<DynamicGenerationSchema>& dependencies)
    : name_(root.name()) {
  std::map<std::string, const DynamicGenerationSchema*> named;
  for (const auto& dependency : dependencies) named.emplace(dependency.name(), &dependency);
  named.emplace(root.name(), &root);
  Renderer renderer(named);
  jsonText_ = renderer.render(root).dump();
}

}  // namespace platform
