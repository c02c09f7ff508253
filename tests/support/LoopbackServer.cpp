#include "tests/support/LoopbackServer.h"

#include <stdexcept>

namespace testsupport {

LoopbackServer::LoopbackServer(std::size_t threads) {
  server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  // The socket listens from bind on, so requests queue until the accept loop runs.
  thread_ = std::thread([this] { server_.listen_after_bind(); });
}

LoopbackServer::~LoopbackServer() {
  // stop() before the accept loop has started would be lost, leaving the loop running.
  while (!server_.is_running()) std::this_thread::yield();
  server_.stop();
  thread_.join();
}

std::string LoopbackServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace testsupport
