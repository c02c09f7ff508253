#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include <QCoroTask>

#include "platform/lm/GeneratedContent.h"
#include "platform/lm/GenerationOptions.h"
#include "platform/lm/GenerationSchema.h"
#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// One structured request to the language model from a GUI-thread coroutine: a fresh session with
// `instructions`, the prompt with the schema included, run on a worker thread.
namespace LanguageModelRequest {

// Returns the answer's content. Throws what LanguageModelSession::respond throws, on the thread that
// awaits; CancellationError when `stop` is requested before or during the request.
QCoro::Task<platform::GeneratedContent> respond(std::shared_ptr<platform::SystemLanguageModel> model,
                                                std::string instructions, std::string prompt,
                                                platform::GenerationSchema schema,
                                                platform::GenerationOptions options,
                                                std::stop_token stop);

}  // namespace LanguageModelRequest
}  // namespace veltovoice
