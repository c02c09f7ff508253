#include "platform/sys/Error.h"

#include <utility>

namespace platform {

Error::Error(std::string typeName, std::string domain, int code, std::string description)
    : typeName_(std::move(typeName)),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

Error::Error(std::string typeName, std::string domain, int code, std::string description,
             std::optional<std::filesystem::path> filePath, std::exception_ptr underlying)
    : typeName_(std::move(typeName)),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)),
      filePath_(std::move(filePath)),
      underlying_(std::move(underlying)),
      underlyingRecord_(recordOf(underlying_)) {}

const char* Error::what() const noexcept { return description_.c_str(); }

std::shared_ptr<const Error> Error::recordOf(const std::exception_ptr& error) {
  if (!error) return nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const Error& record) {
    // rethrow_exception throws the very object `error` owns, so the record lives as long as the
    // exception pointer that the aliasing shared pointer keeps.
    auto owner = std::make_shared<const std::exception_ptr>(error);
    return std::shared_ptr<const Error>(owner, &record);
  } catch (...) {
    return nullptr;
  }
}

std::string Error::messageOf(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace platform
