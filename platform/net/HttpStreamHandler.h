#pragma once

#include <string_view>

#include "platform/net/HttpResponse.h"

namespace platform {

// Receives the events of one streamed transfer, in this order: the final response head once
// (after redirects; before any body byte, or at the end when the body is empty), then the body
// chunks as they arrive. Called on the thread that runs the transfer.
class HttpStreamHandler {
 public:
  virtual ~HttpStreamHandler() = default;

  // Return false to abort the transfer. An exception thrown here aborts it too and leaves the
  // client's call.
  virtual bool onResponse(const HttpResponse& head) = 0;
  // Return false to abort the transfer. Exceptions as above.
  virtual bool onData(std::string_view chunk) = 0;
};

}  // namespace platform
