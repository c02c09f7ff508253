#pragma once

#include <functional>
#include <string>

namespace testsupport {

// The description() of the `Error` that `body` throws, or "" when it returns; any other exception
// passes through and fails the test.
template <class Error>
std::string thrownDescription(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.description();
  }
  return "";
}

}  // namespace testsupport
