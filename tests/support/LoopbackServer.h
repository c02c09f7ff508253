#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

namespace testsupport {

// The certificate and private key (PEM files) of a TLS server.
struct TlsIdentity {
  std::filesystem::path certificate;
  std::filesystem::path privateKey;
};

// A cpp-httplib server on an ephemeral 127.0.0.1 port, listening from construction until
// destruction; plain HTTP, or HTTPS when made with a TLS identity. Register routes on server() before sending requests. Handlers that block must wait
// with a time limit or be released before the server is destroyed.
class LoopbackServer {
 public:
  // `threads` is the size of the server's thread pool.
  explicit LoopbackServer(std::size_t threads = 8);
  // An HTTPS server presenting `identity`.
  explicit LoopbackServer(const TlsIdentity& identity, std::size_t threads = 8);
  ~LoopbackServer();

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return *server_; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (https for a TLS server) followed by `path`.
  std::string url(std::string_view path = "") const;

 private:
  void listen(std::size_t threads);

  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace testsupport
