#pragma once

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// The one base of every error this project throws. It carries what a log line needs to describe
// any failure: the type's name, a domain, an integer code and a readable description; optionally
// the file the failure concerns and the error it wraps, so that callers can walk a chain of causes.
// Values; safe to copy and to read from any thread.
class Error : public std::exception {
 public:
  Error(std::string typeName, std::string domain, int code, std::string description);
  // `underlying` may hold any exception; a null pointer means none.
  Error(std::string typeName, std::string domain, int code, std::string description,
        std::optional<std::filesystem::path> filePath, std::exception_ptr underlying);

  const std::string& typeName() const { return typeName_; }
  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& description() const { return description_; }
  const std::optional<std::filesystem::path>& filePath() const { return filePath_; }

  // The wrapped error as thrown, for rethrowing; null when there is none.
  const std::exception_ptr& underlyingException() const { return underlying_; }
  // The wrapped error seen as an Error record; null when there is none or it is no Error. The
  // pointer stays valid as long as this error (or a copy of it) lives.
  const Error* underlying() const { return underlyingRecord_.get(); }

  // The description.
  const char* what() const noexcept override;

  // `error` seen as an Error record (sharing ownership of the exception object), or null when it
  // is null or not an Error.
  static std::shared_ptr<const Error> recordOf(const std::exception_ptr& error);

  // The message of any exception: its what(), "unknown error" for one that is no std::exception,
  // empty for a null pointer.
  static std::string messageOf(const std::exception_ptr& error);

 private:
  std::string typeName_;
  std::string domain_;
  int code_;
  std::string description_;
  std::optional<std::filesystem::path> filePath_;
  std::exception_ptr underlying_;
  std::shared_ptr<const Error> underlyingRecord_;
};

}  // namespace platform
