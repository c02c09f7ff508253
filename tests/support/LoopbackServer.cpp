#include "tests/support/LoopbackServer.h"

#include <stdexcept>

namespace testsupport {

LoopbackServer::LoopbackServer(std::size_t threads) : server_(std::make_unique<httplib::Server>()) {
  listen(threads);
}

LoopbackServer::LoopbackServer(const TlsIdentity& identity, std::size_t threads)
    : server_(std::make_unique<httplib::SSLServer>(identity.certificate.c_str(), identity.privateKey.c_str())),
      tls_(true) {
  if (!server_->is_valid()) throw std::runtime_error("cannot load the TLS identity");
  listen(threads);
}

void LoopbackServer::listen(std::size_t threads) {
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  // The socket listens from bind on, so requests queue until the accept loop runs.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

LoopbackServer::~LoopbackServer() {
  // stop() before the accept loop has started would be lost, leaving the loop running.
  while (!server_->is_running()) std::this_thread::yield();
  server_->stop();
  thread_.join();
}

std::string LoopbackServer::url(std::string_view path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + std::string(path);
}

}  // namespace testsupport
