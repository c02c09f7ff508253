#include "platform/lm/GenerationSchema.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"

namespace platform {
namespace {

using Schema = DynamicGenerationSchema;
using Property = DynamicGenerationSchema::Property;

Property required(std::string name, std::string description, Schema schema) {
  return Property{std::move(name), std::move(description), std::move(schema), false};
}

// The answer shapes that the application asks for, built as its callers build them.
GenerationSchema choices() {
  Schema choice("Choice", std::nullopt,
                {required("n", "行の番号", Schema::integer()),
                 required("choice", "より正しい方", Schema::anyOf("AB", std::nullopt, {"A", "B"}))});
  Schema root("Choices", std::nullopt,
              {required("choices", "すべての行の選択", Schema::arrayOf(Schema::referenceTo("Choice")))});
  return GenerationSchema(root, {choice});
}

GenerationSchema topics() {
  Schema start("TopicStart", std::nullopt,
               {required("n", "その話題が始まる行の番号", Schema::integer()),
                required("title", "見出し", Schema::string())});
  Schema root("Topics", std::nullopt,
              {required("topics", "話題が変わる行", Schema::arrayOf(Schema::referenceTo("TopicStart")))});
  return GenerationSchema(root, {start});
}

GenerationSchema summary() {
  Schema root("TopicSummary", std::nullopt,
              {required("points", "要点", Schema::arrayOf(Schema::string())),
               required("decisions", "決まったこと", Schema::arrayOf(Schema::string()))});
  return GenerationSchema(root, {});
}

GenerationSchema grouping() {
  Schema group("TaskGroup", std::nullopt,
               {required("title", "親タスクの名前", Schema::string()),
                required("members", "番号", Schema::arrayOf(Schema::integer()))});
  Schema root("Grouping", std::nullopt,
              {required("groups", "親", Schema::arrayOf(Schema::referenceTo("TaskGroup")))});
  return GenerationSchema(root, {group});
}

TEST(GenerationSchemaTest, RendersApplicationSchemasWithReferencesInlined) {
  struct Case {
    const char* name;
    GenerationSchema schema;
    const char* rootName;
    const char* json;
  };
  const Case cases[] = {
      {"choices", choices(), "Choices",
       R"({"type":"object","properties":{"choices":{"description":"すべての行の選択","type":"array",)"
       R"("items":{"type":"object","properties":{"n":{"description":"行の番号","type":"integer"},)"
       R"("choice":{"description":"より正しい方","type":"string","enum":["A","B"]}},)"
       R"("required":["n","choice"],"additionalProperties":false}}},"required":["choices"],)"
       R"("additionalProperties":false})"},
      {"topics", topics(), "Topics",
       R"({"type":"object","properties":{"topics":{"description":"話題が変わる行","type":"array",)"
       R"("items":{"type":"object","properties":{"n":{"description":"その話題が始まる行の番号",)"
       R"("type":"integer"},"title":{"description":"見出し","type":"string"}},)"
       R"("required":["n","title"],"additionalProperties":false}}},"required":["topics"],)"
       R"("additionalProperties":false})"},
      {"summary", summary(), "TopicSummary",
       R"({"type":"object","properties":{"points":{"description":"要点","type":"array",)"
       R"("items":{"type":"string"}},"decisions":{"description":"決まったこと","type":"array",)"
       R"("items":{"type":"string"}}},"required":["points","decisions"],)"
       R"("additionalProperties":false})"},
      {"grouping", grouping(), "Grouping",
       R"({"type":"object","properties":{"groups":{"description":"親","type":"array",)"
       R"("items":{"type":"object","properties":{"title":{"description":"親タスクの名前",)"
       R"("type":"string"},"members":{"description":"番号","type":"array",)"
       R"("items":{"type":"integer"}}},"required":["title","members"],)"
       R"("additionalProperties":false}}},"required":["groups"],"additionalProperties":false})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.schema.name(), c.rootName);
    EXPECT_EQ(c.schema.jsonText(), c.json);
  }
}

TEST(GenerationSchemaTest, OptionalPropertiesBoundsAndDescriptionsRender) {
  Schema root("Root", "根",
              {Property{"list", "一覧", Schema::arrayOf(Schema::string(), 1, 3), true},
               Property{"plain", std::nullopt, Schema::integer(), false}});
  EXPECT_EQ(GenerationSchema(root, {}).jsonText(),
            R"({"type":"object","description":"根","properties":{"list":{"description":"一覧",)"
            R"("type":"array","items":{"type":"string"},"minItems":1,"maxItems":3},)"
            R"("plain":{"type":"integer"}},"required":["plain"],"additionalProperties":false})");
}

TEST(GenerationSchemaTest, UnknownReferenceOrCycleThrows) {
  Schema dangling("Root", std::nullopt, {required("x", "x", Schema::referenceTo("Nowhere"))});
  EXPECT_THROW(GenerationSchema(dangling, {}), InvalidArgumentError);

  Schema a("A", std::nullopt, {required("b", "b", Schema::referenceTo("B"))});
  Schema b("B", std::nullopt, {required("a", "a", Schema::arrayOf(Schema::referenceTo("A")))});
  Schema root("Root", std::nullopt, {required("a", "a", Schema::referenceTo("A"))});
  EXPECT_THROW(GenerationSchema(root, {a, b}), InvalidArgumentError);
}

}  // namespace
}  // namespace platform
