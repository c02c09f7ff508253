#pragma once

#include <string>
#include <exception>

namespace platform {

// The one base of every error this project throws. It carries what a log line needs to describe
// any failure: the type's name, a domain, an integer code and a readable description.
// Values; safe to copy and to read from any thread.
class Error : public std::exception {
 public:
  Error(std::string typeName, std::string domain, int code, std::string description);

  const std::string& typeName() const { return typeName_; }
  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& description() const { return description_; }

  // The description.
  const char* what() const noexcept override;

 private:
  std::string typeName_;
  std::string domain_;
  int code_;
  std::string description_;
};

}  // namespace platform
