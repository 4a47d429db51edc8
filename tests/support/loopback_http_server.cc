#include "support/loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

namespace lumewell::testing {
namespace {

void sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client went away (it may abort a download on purpose)
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot start the loopback HTTP server");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  const char stop = 'x';
  (void)!::write(wakePipe_[1], &stop, 1);
  thread_.join();
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::serve(const std::string& path, std::string body) {
  std::lock_guard lock(mutex_);
  resources_[path] = Resource{std::move(body), 0, {}};
}

void LoopbackHttpServer::serveTruncated(const std::string& path, std::string body,
                                        size_t missingBytes) {
  std::lock_guard lock(mutex_);
  resources_[path] = Resource{std::move(body), missingBytes, {}};
}

void LoopbackHttpServer::redirect(const std::string& path, const std::string& location) {
  std::lock_guard lock(mutex_);
  resources_[path] = Resource{{}, 0, location};
}

int LoopbackHttpServer::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

void LoopbackHttpServer::run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A client that stops reading or writing cannot hold the server (or its destructor).
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    handle(fd);
    ::close(fd);
  }
}

void LoopbackHttpServer::handle(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  const size_t methodEnd = request.find(' ');
  const size_t pathEnd = request.find(' ', methodEnd + 1);
  if (methodEnd == std::string::npos || pathEnd == std::string::npos) return;
  const std::string path = request.substr(methodEnd + 1, pathEnd - methodEnd - 1);

  Resource resource;
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    ++requests_[path];
    auto it = resources_.find(path);
    if (it != resources_.end()) {
      resource = it->second;
      found = true;
    }
  }
  std::string head;
  if (!found) {
    head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, head.data(), head.size());
    return;
  }
  if (!resource.location.empty()) {
    head = "HTTP/1.1 302 Found\r\nLocation: " + resource.location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, head.data(), head.size());
    return;
  }
  head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(resource.body.size() + resource.missingBytes) +
         "\r\nConnection: close\r\n\r\n";
  sendAll(fd, head.data(), head.size());
  sendAll(fd, resource.body.data(), resource.body.size());
}

}  // namespace lumewell::testing
