#include "app/Processing/LanguageModelRequest.h"

#include <exception>
#include <optional>
#include <utility>

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include "platform/lm/LanguageModelSession.h"
#include "platform/sys/CancellationError.h"

namespace veltovoice::LanguageModelRequest {
namespace {

// QtConcurrent carries only its own exception type, so the worker hands any error back as a value.
struct Reply {
  std::optional<platform::GeneratedContent> content;
  std::exception_ptr error;
};

struct Call {
  std::shared_ptr<platform::SystemLanguageModel> model;
  std::string instructions;
  std::string prompt;
  platform::GenerationSchema schema;
  platform::GenerationOptions options;
  std::stop_token stop;
};

Reply perform(std::shared_ptr<Call> call) {
  try {
    platform::LanguageModelSession session(call->model, call->instructions);
    return {session.respond(call->prompt, call->schema, true, call->options, call->stop).content, nullptr};
  } catch (...) {
    return {std::nullopt, std::current_exception()};
  }
}

}  // namespace

QCoro::Task<platform::GeneratedContent> respond(std::shared_ptr<platform::SystemLanguageModel> model,
                                                std::string instructions, std::string prompt,
                                                platform::GenerationSchema schema,
                                                platform::GenerationOptions options,
                                                std::stop_token stop) {
  platform::CancellationError::throwIfRequested(stop);
  // The worker gets its inputs in one shared block: g++ 12 mishandles by-copy lambda captures of
  // coroutine parameters.
  auto call = std::make_shared<Call>(Call{std::move(model), std::move(instructions), std::move(prompt),
                                          std::move(schema), std::move(options), std::move(stop)});
  Reply reply = co_await QtConcurrent::run(&perform, call);
  if (reply.error) std::rethrow_exception(reply.error);
  co_return std::move(*reply.content);
}

}  // namespace veltovoice::LanguageModelRequest
