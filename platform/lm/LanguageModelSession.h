#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "platform/lm/GeneratedContent.h"
#include "platform/lm/GenerationOptions.h"
#include "platform/lm/GenerationSchema.h"
#include "platform/lm/SystemLanguageModel.h"

namespace platform {

// A conversation with the language model that starts from fixed instructions (sent as the system
// message) and uses no tools. Each respond() is one non-streaming chat completion that must answer
// with a JSON object of the given schema. One session serves one thread at a time; separate
// sessions may run at once on different threads.
//
//   platform::LanguageModelSession session(model, "You list tasks.");
//   auto response = session.respond(prompt, schema, true, {.temperature = 0.2}, stop);
//   auto items = response.content.value<std::vector<platform::GeneratedContent>>("items");
class LanguageModelSession {
 public:
  struct Response {
    GeneratedContent content;
    // The answer's text as the server sent it.
    std::string rawContent;
  };

  // REQUIRES: model is not null.
  LanguageModelSession(std::shared_ptr<SystemLanguageModel> model, std::string instructions);

  // Asks for an answer to `prompt` shaped by `schema`; with `includeSchemaInPrompt` the prompt is
  // followed by "\n\nJSON Schema:\n" and the schema's JSON text. Blocks until the server answers or
  // the configured time-out ends the request.
  // Throws GenerationError for an answer the server refused or that cannot be read (see the cases),
  // HttpStatusError for any other failed HTTP status, TransportError when the server cannot be
  // reached or the request times out (-1001), and CancellationError when `stop` is requested.
  Response respond(const std::string& prompt, const GenerationSchema& schema,
                   bool includeSchemaInPrompt, const GenerationOptions& options,
                   std::stop_token stop = {});

  const std::string& instructions() const { return instructions_; }

 private:
  std::shared_ptr<SystemLanguageModel> model_;
  std::string instructions_;
};

}  // namespace platform
