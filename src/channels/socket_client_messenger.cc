#include "channels/socket_client_messenger.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <utility>

#include "channels/socket_paths.h"

namespace lumewell {

Result<std::unique_ptr<SocketClientMessenger>> SocketClientMessenger::connect(
    const std::string& path, GMainContext* context,
    std::optional<std::chrono::milliseconds> timeout) {
  sockaddr_un addr;
  if (!socketAddress(path, &addr)) {
    return Error{"socket", 1, "The socket path is too long: " + path};
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return posixError(errno, "Cannot create a socket");
  if (timeout) {
    // A Unix socket's connect waits for room in the host's queue at most this long.
    timeval tv{static_cast<time_t>(timeout->count() / 1000),
               static_cast<suseconds_t>(timeout->count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno == EAGAIN || errno == EINPROGRESS ? ETIMEDOUT : errno;
    ::close(fd);
    return posixError(e, "Cannot connect to " + path);
  }
  if (context == nullptr) context = g_main_context_default();
  return std::unique_ptr<SocketClientMessenger>(new SocketClientMessenger(fd, context));
}

SocketClientMessenger::SocketClientMessenger(int fd, GMainContext* context)
    : connection_(SocketConnection::adopt(fd, context)) {
  connection_->start(
      alive_, [this](Frame frame) { onFrame(std::move(frame)); },
      [this](const std::string& reason) { onClosed(reason); });
}

SocketClientMessenger::~SocketClientMessenger() {
  *alive_ = false;
  connection_->close("client closed");
}

void SocketClientMessenger::onFrame(Frame frame) {
  if (frame.kind == Frame::kReply) {
    auto it = pending_.find(frame.id);
    if (it == pending_.end()) return;
    auto reply = std::move(it->second);
    pending_.erase(it);
    reply(&frame.payload);
    return;
  }
  auto handler = handlers_.find(frame.channel);
  if (handler == handlers_.end()) return;
  auto fn = handler->second;
  uint32_t id = frame.id;
  std::weak_ptr<SocketConnection> weak = connection_;
  fn(frame.payload, [weak, id](const Bytes* reply) {
    auto c = weak.lock();
    if (c && id != 0 && reply != nullptr) c->sendFrame(Frame{Frame::kReply, id, {}, *reply});
  });
}

void SocketClientMessenger::onClosed(const std::string& reason) {
  auto pending = std::exchange(pending_, {});
  for (auto& [id, reply] : pending) reply(nullptr);
  if (closedHandler_) closedHandler_(reason);
}

void SocketClientMessenger::send(const std::string& channel, Bytes message, BinaryReply reply) {
  if (!isConnected()) {
    if (reply) reply(nullptr);
    return;
  }
  uint32_t id = 0;
  if (reply) {
    id = nextId_++;
    if (id == 0) id = nextId_++;
    pending_[id] = std::move(reply);
  }
  connection_->sendFrame(Frame{Frame::kMessage, id, channel, std::move(message)});
}

void SocketClientMessenger::setMessageHandler(const std::string& channel,
                                              BinaryMessageHandler handler) {
  setHandler(handlers_, channel, std::move(handler));
}

void SocketClientMessenger::sendRaw(const Bytes& bytes) {
  if (isConnected()) ::send(connection_->fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

}  // namespace lumewell
