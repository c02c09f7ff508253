#include "platform/lm/LanguageModelSession.h"

#include <cassert>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/lm/GenerationError.h"
#include "platform/net/HttpClient.h"
#include "platform/net/HttpStatusError.h"
#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"

namespace platform {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::int64_t kMaxResponseBytes = 16 * 1024 * 1024;

void addSampling(Json& body, const SamplingMode& sampling) {
  switch (sampling.kind) {
    case SamplingMode::Kind::greedy: body["top_k"] = 1; break;
    case SamplingMode::Kind::topK: body["top_k"] = sampling.topK; break;
    case SamplingMode::Kind::topP: body["top_p"] = sampling.probabilityThreshold; break;
  }
}

std::string requestBody(const LanguageModelConfiguration& configuration,
                        const std::string& instructions, const std::string& userMessage,
                        const GenerationSchema& schema, const GenerationOptions& options) {
  Json body = Json::object();
  if (!configuration.model.empty()) body["model"] = configuration.model;
  body["messages"] = Json::array({
      Json{{"role", "system"}, {"content", instructions}},
      Json{{"role", "user"}, {"content", userMessage}},
  });
  body["stream"] = false;
  if (options.sampling) addSampling(body, *options.sampling);
  if (options.temperature) body["temperature"] = *options.temperature;
  if (options.maximumResponseTokens) body["max_tokens"] = *options.maximumResponseTokens;
  body["response_format"] = Json{
      {"type", "json_schema"},
      {"json_schema",
       Json{{"name", schema.name()}, {"strict", true}, {"schema", Json::parse(schema.jsonText())}}}};
  return body.dump();
}

// The body's JSON, or a null value when the body is no JSON.
nlohmann::json parsedOrNull(const std::string& body) {
  return nlohmann::json::parse(body, nullptr, false);
}

std::string textOf(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return {};
  return value.dump();
}

// The server's message of an error answer ({"error":{"message":…}} or {"error":"…"}), or empty.
std::string serverMessage(const nlohmann::json& body) {
  if (!body.is_object()) return {};
  auto error = body.find("error");
  if (error == body.end()) return body.contains("message") ? textOf(body["message"]) : std::string();
  if (error->is_object()) return error->contains("message") ? textOf((*error)["message"]) : std::string();
  return textOf(*error);
}

bool mentionsContext(const nlohmann::json& body) {
  if (!body.is_object() || !body.contains("error")) return false;
  const auto& error = body["error"];
  std::string text = textOf(error);
  if (error.is_object()) {
    text.clear();
    for (const char* key : {"type", "code", "message"}) {
      if (error.contains(key)) text += textOf(error[key]) + " ";
    }
  }
  return text.find("context") != std::string::npos;
}

[[noreturn]] void throwForStatus(int status, const std::string& rawBody) {
  const auto body = parsedOrNull(rawBody);
  const std::string message = serverMessage(body);
  if (status == 400 && mentionsContext(body)) throw GenerationError::exceededContextWindowSize(message);
  if (status == 429) throw GenerationError::rateLimited(message);
  if (status == 503) throw GenerationError::assetsUnavailable(message);
  throw HttpStatusError(status);
}

LanguageModelSession::Response decodeAnswer(const std::string& rawBody) {
  const auto body = parsedOrNull(rawBody);
  if (!body.is_object()) throw GenerationError::decodingFailure("the answer is no JSON object");
  auto choices = body.find("choices");
  if (choices == body.end() || !choices->is_array() || choices->empty() ||
      !(*choices)[0].is_object()) {
    throw GenerationError::decodingFailure("the answer has no choices");
  }
  const auto& choice = (*choices)[0];
  const auto message = choice.value("message", nlohmann::json::object());
  if (message.is_object() && message.contains("refusal") && !message["refusal"].is_null()) {
    throw GenerationError::refusal(textOf(message["refusal"]));
  }
  const auto finishReason = choice.contains("finish_reason") ? textOf(choice["finish_reason"]) : "";
  if (finishReason == "content_filter") throw GenerationError::guardrailViolation();
  if (finishReason == "length") {
    throw GenerationError::decodingFailure("the answer was cut off at the token limit");
  }
  if (!message.is_object() || !message.contains("content") || !message["content"].is_string()) {
    throw GenerationError::decodingFailure("the answer has no content");
  }
  std::string raw = message["content"].get<std::string>();
  auto content = parsedOrNull(raw);
  if (!content.is_object()) throw GenerationError::decodingFailure("the content is no JSON object");
  return {GeneratedContent(std::move(content)), std::move(raw)};
}

}  // namespace

LanguageModelSession::LanguageModelSession(std::shared_ptr<SystemLanguageModel> model,
                                           std::string instructions)
    : model_(std::move(model)), instructions_(std::move(instructions)) {
  assert(model_);
}

LanguageModelSession::Response LanguageModelSession::respond(const std::string& prompt,
                                                             const GenerationSchema& schema,
                                                             bool includeSchemaInPrompt,
                                                             const GenerationOptions& options,
                                                             std::stop_token stop) {
  CancellationError::throwIfRequested(stop);
  const auto& configuration = model_->configuration();
  auto url = configuration.chatCompletionsUrl();
  if (!url) throw GenerationError::assetsUnavailable("no language-model server is configured");

  const std::string userMessage =
      includeSchemaInPrompt ? prompt + "\n\nJSON Schema:\n" + schema.jsonText() : prompt;
  HttpRequest request;
  request.method = HttpRequest::Method::post;
  request.url = *url;
  request.headers.set("Content-Type", "application/json");
  if (!configuration.apiKey.empty()) request.headers.set("Authorization", "Bearer " + configuration.apiKey);
  request.body = requestBody(configuration, instructions_, userMessage, schema, options);
  // Nothing moves while the server generates a whole answer, so the idle limit is the overall one.
  request.idleTimeout = configuration.timeoutSeconds;
  request.overallTimeout = configuration.timeoutSeconds;
  request.maxResponseBytes = kMaxResponseBytes;

  HttpResponse response;
  try {
    response = HttpClient::shared().send(request, stop);
  } catch (const TransportError&) {
    model_->probeAgainSoon();
    throw;
  }
  if (response.statusCode < 200 || response.statusCode > 299) {
    throwForStatus(response.statusCode, response.body);
  }
  return decodeAnswer(response.body);
}

}  // namespace platform
