#include "platform/lm/GenerationError.h"

#include <utility>

namespace platform {
namespace {

std::string describe(GenerationError::Case c, const std::string& message) {
  std::string text(GenerationError::nameOf(c));
  if (!message.empty()) text += ": " + message;
  return text;
}

}  // namespace

GenerationError::GenerationError(Case c, std::string message)
    : Error("GenerationError", kDomain, static_cast<int>(c), describe(c, message)),
      message_(std::move(message)) {}

std::string_view GenerationError::nameOf(Case c) {
  switch (c) {
    case Case::exceededContextWindowSize: return "exceededContextWindowSize";
    case Case::assetsUnavailable: return "assetsUnavailable";
    case Case::guardrailViolation: return "guardrailViolation";
    case Case::unsupportedGuide: return "unsupportedGuide";
    case Case::unsupportedLanguageOrLocale: return "unsupportedLanguageOrLocale";
    case Case::decodingFailure: return "decodingFailure";
    case Case::rateLimited: return "rateLimited";
    case Case::concurrentRequests: return "concurrentRequests";
    case Case::refusal: return "refusal";
  }
  return "unknown";
}

GenerationError GenerationError::exceededContextWindowSize(std::string message) {
  return {Case::exceededContextWindowSize, std::move(message)};
}
GenerationError GenerationError::assetsUnavailable(std::string message) {
  return {Case::assetsUnavailable, std::move(message)};
}
GenerationError GenerationError::guardrailViolation(std::string message) {
  return {Case::guardrailViolation, std::move(message)};
}
GenerationError GenerationError::unsupportedLanguageOrLocale(std::string message) {
  return {Case::unsupportedLanguageOrLocale, std::move(message)};
}
GenerationError GenerationError::decodingFailure(std::string message) {
  return {Case::decodingFailure, std::move(message)};
}
GenerationError GenerationError::rateLimited(std::string message) {
  return {Case::rateLimited, std::move(message)};
}
GenerationError GenerationError::refusal(std::string message) {
  return {Case::refusal, std::move(message)};
}

}  // namespace platform
