#pragma once

#include <string>
#include <vector>

#include "platform/lm/DynamicGenerationSchema.h"

namespace platform {

// A complete answer schema: a root object and the named schemas that its references name. It
// renders as JSON Schema with every reference inlined, properties in their given order, each
// description as "description", the non-optional properties under "required" and
// "additionalProperties": false on every object:
//
//   {"type":"object","properties":{"items":{"description":"…","type":"array","items":{…}}},
//    "required":["items"],"additionalProperties":false}
//
// Immutable after construction; safe from any thread.
class GenerationSchema {
 public:
  // Throws InvalidArgumentError when a reference names no schema of `dependencies` (or the root),
  // or when references form a cycle: both are programming errors of fixed schemas.
  GenerationSchema(const DynamicGenerationSchema& root,
                   const std::vector<DynamicGenerationSchema>& dependencies);

  // The root's name, which names the answer format in a request.
  const std::string& name() const { return name_; }
  // The rendering as compact JSON text (UTF-8, no escapes for non-ASCII characters).
  const std::string& jsonText() const { return jsonText_; }

 private:
  std::string name_;
  std::string jsonText_;
};

}  // namespace platform
