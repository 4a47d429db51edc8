#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace lumewell::testing {

// A tiny HTTP/1.1 server on 127.0.0.1 (a free port) serving an in-memory map of paths to
// bodies, one connection at a time, each closed after its response. A path can be served
// truncated: the announced Content-Length exceeds what is sent before the connection
// closes. Unknown paths answer 404. Stopped (and its thread joined) by the destructor.
class LoopbackHttpServer {
 public:
  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port><path>"
  std::string url(const std::string& path) const;

  void serve(const std::string& path, std::string body);
  // Announces body.size() + missingBytes bytes, sends body, closes.
  void serveTruncated(const std::string& path, std::string body, size_t missingBytes);
  // Answers 302 with a Location header.
  void redirect(const std::string& path, const std::string& location);
  // How many requests asked for path.
  int requestCount(const std::string& path) const;

 private:
  struct Resource {
    std::string body;
    size_t missingBytes = 0;
    std::string location;
  };
  void run();
  void handle(int fd);

  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Resource> resources_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace lumewell::testing
