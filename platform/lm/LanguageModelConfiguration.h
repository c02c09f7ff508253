#pragma once

#include <optional>
#include <string>

namespace platform {

// Where the language model lives: the root address of a local OpenAI-compatible chat-completions
// server ("http://127.0.0.1:8080"), an optional model name and bearer key, and the limits of a
// request. An empty address means no model is configured. A value type.
struct LanguageModelConfiguration {
  std::string url;
  std::string model;
  std::string apiKey;
  // Ends a request that has not completed within this many seconds (a hung server).
  double timeoutSeconds = 300.0;
  // How often an unavailable server is probed again.
  double probeIntervalSeconds = 30.0;

  // `settings` with each of VELTOVOICE_LM_URL, VELTOVOICE_LM_MODEL and VELTOVOICE_LM_API_KEY that
  // is set to a non-empty value taking the place of the matching field.
  static LanguageModelConfiguration fromEnvironment(LanguageModelConfiguration settings);
  static LanguageModelConfiguration fromEnvironment();

  // The chat-completions address: the configured address without a trailing "/" or "/v1",
  // followed by "/v1/chat/completions"; nullopt when no address is configured.
  std::optional<std::string> chatCompletionsUrl() const;
  // The model-list address that the availability probe reads, built the same way.
  std::optional<std::string> modelsUrl() const;

  bool operator==(const LanguageModelConfiguration&) const = default;
};

}  // namespace platform
