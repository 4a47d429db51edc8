#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace lumewell::testing {

// An HTTP/1.1 server on a free 127.0.0.1 port answering from memory, one connection at a time,
// each closed after its response; unknown paths answer 404.
class LoopbackHttpServer {
 public:
  LoopbackHttpServer() {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot start the loopback HTTP server");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (!stopping_) {  // the destructor shuts the listening socket down to end accept4
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval timeout{5, 0};  // a stalled client cannot hold the server or its destructor
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO})
          ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
        handle(fd);
        ::close(fd);
      }
    });
  }
  ~LoopbackHttpServer() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Announces body.size() + missingBytes bytes, sends body and closes.
  void serve(const std::string& path, const std::string& body, size_t missingBytes = 0) {
    put(path, "200 OK\r\nContent-Length: " + std::to_string(body.size() + missingBytes) +
                  "\r\n\r\n" + body);
  }
  void redirect(const std::string& path, const std::string& location) {
    put(path, "302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n");
  }
  int requestCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return requests_.contains(path) ? requests_.at(path) : 0;
  }

 private:
  void put(const std::string& path, std::string response) {
    std::lock_guard lock(mutex_);
    responses_[path] = "HTTP/1.1 " + response;
  }
  void handle(int fd) {
    std::string request, method, path;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    if (!(std::istringstream(request) >> method >> path)) return;
    std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    {
      std::lock_guard lock(mutex_);
      ++requests_[path];
      if (responses_.contains(path)) response = responses_[path];
    }
    // Blocks until all is sent, or fails when the client goes away (it may abort on purpose).
    (void)::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
  }

  const int listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> stopping_ = false;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> responses_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace lumewell::testing
