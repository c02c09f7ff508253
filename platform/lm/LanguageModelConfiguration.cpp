#include "platform/lm/LanguageModelConfiguration.h"

#include <string_view>

#include "platform/sys/Environment.h"

namespace platform {
namespace {

void overrideFrom(const char* variable, std::string& field) {
  auto value = Environment::value(variable);
  if (value && !value->empty()) field = *value;
}

std::optional<std::string> serverRoot(std::string url) {
  if (url.empty()) return std::nullopt;
  while (!url.empty() && url.back() == '/') url.pop_back();
  constexpr std::string_view kVersion = "/v1";
  if (url.size() >= kVersion.size() && std::string_view(url).ends_with(kVersion)) {
    url.resize(url.size() - kVersion.size());
  }
  return url;
}

}  // namespace

LanguageModelConfiguration LanguageModelConfiguration::fromEnvironment(
    LanguageModelConfiguration settings) {
  overrideFrom("VELTOVOICE_LM_URL", settings.url);
  overrideFrom("VELTOVOICE_LM_MODEL", settings.model);
  overrideFrom("VELTOVOICE_LM_API_KEY", settings.apiKey);
  return settings;
}

LanguageModelConfiguration LanguageModelConfiguration::fromEnvironment() {
  return fromEnvironment(LanguageModelConfiguration{});
}

std::optional<std::string> LanguageModelConfiguration::chatCompletionsUrl() const {
  auto root = serverRoot(url);
  if (!root) return std::nullopt;
  return *root + "/v1/chat/completions";
}

std::optional<std::string> LanguageModelConfiguration::modelsUrl() const {
  auto root = serverRoot(url);
  if (!root) return std::nullopt;
  return *root + "/v1/models";
}

}  // namespace platform
