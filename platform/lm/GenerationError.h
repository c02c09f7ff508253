#pragma once

#include <string>
#include <string_view>

#include "platform/sys/Error.h"

namespace platform {

// A request that the language model answered without a usable reply. The description is the
// case's name, followed by ": " and the server's message when it sent one
// ("rateLimited: too many requests"). Values; safe to copy and to read from any thread.
class GenerationError : public Error {
 public:
  static constexpr const char* kDomain = "LanguageModelSession.GenerationError";

  enum class Case : int {
    exceededContextWindowSize = 1,
    assetsUnavailable,
    guardrailViolation,
    unsupportedGuide,
    unsupportedLanguageOrLocale,
    decodingFailure,
    rateLimited,
    concurrentRequests,
    refusal,
  };

  static GenerationError exceededContextWindowSize(std::string message = {});
  static GenerationError assetsUnavailable(std::string message = {});
  static GenerationError guardrailViolation(std::string message = {});
  static GenerationError unsupportedLanguageOrLocale(std::string message = {});
  static GenerationError decodingFailure(std::string message = {});
  static GenerationError rateLimited(std::string message = {});
  static GenerationError refusal(std::string message = {});

  Case errorCase() const { return static_cast<Case>(code()); }
  // The server's message, or empty.
  const std::string& message() const { return message_; }

  // The case's name as written in the enumeration.
  static std::string_view nameOf(Case c);

 private:
  GenerationError(Case c, std::string message);

  std::string message_;
};

}  // namespace platform
