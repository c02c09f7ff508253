#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

namespace testsupport {

// A cpp-httplib server on an ephemeral 127.0.0.1 port, listening from construction until
// destruction. Register routes on server() before sending requests. Handlers that block must wait
// with a time limit or be released before the server is destroyed.
class LoopbackServer {
 public:
  // `threads` is the size of the server's thread pool.
  explicit LoopbackServer(std::size_t threads = 8);
  ~LoopbackServer();

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return server_; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "") const;

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace testsupport
