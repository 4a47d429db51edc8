#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace lumewell::testing {

// An HTTP/1.1 server on a free 127.0.0.1 port serving bodies from memory, one connection at a
// time, each closed after its response; unknown paths answer 404.
class LoopbackHttpServer {
 public:
  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // "http://127.0.0.1:<port><path>"
  std::string url(const std::string& path) const;
  void serve(const std::string& path, std::string body) { put(path, {std::move(body), 0, {}}); }
  // Announces body.size() + missingBytes bytes, sends body, closes.
  void serveTruncated(const std::string& path, std::string body, size_t missingBytes) {
    put(path, {std::move(body), missingBytes, {}});
  }
  // Answers 302 with a Location header.
  void redirect(const std::string& path, std::string location) {
    put(path, {{}, 0, std::move(location)});
  }
  int requestCount(const std::string& path) const;

 private:
  struct Resource {
    std::string body;
    size_t missingBytes = 0;
    std::string location;
  };
  void put(const std::string& path, Resource resource);
  void handle(int fd);

  int listenFd_ = -1;
  std::atomic<bool> stopping_ = false;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Resource> resources_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace lumewell::testing
