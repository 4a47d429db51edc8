#include "channels/socket_host_messenger.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace lumewell {
namespace {

Error hostError(const std::string& text) { return Error{"socket", 1, text}; }

bool fillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether a host answers on the socket at path.
bool socketIsLive(const sockaddr_un& addr) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return live;
}

Result<bool> ensurePrivateFolder(const std::string& dir) {
  if (g_mkdir_with_parents(dir.c_str(), 0700) != 0) {
    return posixError(errno, "Cannot create the socket folder " + dir);
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return posixError(errno, "Cannot inspect " + dir);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    return hostError("The socket folder " + dir + " is not a folder owned by this user.");
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
    return posixError(errno, "Cannot make " + dir + " private");
  }
  return true;
}

}  // namespace

Result<std::unique_ptr<SocketHostMessenger>> SocketHostMessenger::listen(const std::string& path,
                                                                        GMainContext* context) {
  sockaddr_un addr;
  if (!fillAddress(path, &addr)) return hostError("The socket path is too long: " + path);
  gchar* dir = g_path_get_dirname(path.c_str());
  auto folder = ensurePrivateFolder(dir);
  g_free(dir);
  if (!folder) return folder.error();

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return hostError(path + " exists and is not a socket.");
    if (socketIsLive(addr)) {
      return hostError("Another Lumewell Recorder host is already running on " + path + ".");
    }
    ::unlink(path.c_str());  // stale: its host is gone
  }

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return posixError(errno, "Cannot create a socket");
  // The folder is already private; the umask keeps the socket 0600 from its first moment.
  mode_t old = ::umask(0177);
  int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int bindErrno = errno;
  ::umask(old);
  if (bound != 0) {
    ::close(fd);
    return posixError(bindErrno, "Cannot bind " + path);
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(fd, 64) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return posixError(e, "Cannot listen on " + path);
  }
  if (context == nullptr) context = g_main_context_default();
  return std::unique_ptr<SocketHostMessenger>(new SocketHostMessenger(fd, path, context));
}

SocketHostMessenger::SocketHostMessenger(int listenFd, std::string path, GMainContext* context)
    : listenFd_(listenFd), path_(std::move(path)), context_(g_main_context_ref(context)) {
  acceptSource_ = g_unix_fd_source_new(listenFd_, G_IO_IN);
  g_source_set_callback(acceptSource_, G_SOURCE_FUNC(&onAccept), this, nullptr);
  g_source_attach(acceptSource_, context_);
}

SocketHostMessenger::~SocketHostMessenger() {
  *alive_ = false;
  g_source_destroy(acceptSource_);
  g_source_unref(acceptSource_);
  auto connections = std::move(connections_);
  connections_.clear();
  for (auto& [id, c] : connections) c->close("host stopped");
  ::close(listenFd_);
  ::unlink(path_.c_str());
  g_main_context_unref(context_);
}

gboolean SocketHostMessenger::onAccept(gint, GIOCondition, gpointer data) {
  static_cast<SocketHostMessenger*>(data)->acceptPending();
  return G_SOURCE_CONTINUE;
}

void SocketHostMessenger::acceptPending() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // EAGAIN, or a transient error: try again on the next wake-up
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
      ::close(fd);  // another user's process: never served
      if (closedHook_) closedHook_("peer of another user refused");
      continue;
    }
    uint64_t id = nextConnectionId_++;
    auto connection = SocketConnection::adopt(fd, context_);
    connections_[id] = connection;
    std::weak_ptr<bool> alive = alive_;
    connection->start(
        [this, id, alive](Frame frame) {
          if (!alive.expired()) onFrame(id, std::move(frame));
        },
        [this, id, alive](const std::string& reason) {
          if (!alive.expired() && *alive.lock()) onClosed(id, reason);
        });
  }
}

void SocketHostMessenger::onFrame(uint64_t connectionId, Frame frame) {
  auto it = connections_.find(connectionId);
  if (it == connections_.end()) return;
  auto connection = it->second;
  if (frame.kind == Frame::kReply) {
    auto pending = pendingReplies_.find(frame.id);
    if (!frame.payload.empty() && !StandardMethodCodec::decodeEnvelope(frame.payload)) {
      connection->close("reply is not a valid envelope");
      return;
    }
    if (pending == pendingReplies_.end() || pending->second.first != connectionId) return;
    auto reply = std::move(pending->second.second);
    pendingReplies_.erase(pending);
    reply(&frame.payload);
    return;
  }
  // Every message a client sends is a method call (event streams are driven by "listen" and
  // "cancel" calls). Bytes that do not decode as one end the connection.
  auto call = StandardMethodCodec::decodeMethodCall(frame.payload);
  if (!call) {
    connection->close("message is not a valid method call: " + call.error().localizedDescription);
    return;
  }
  if (call->method == "listen") {
    listeners_[frame.channel] = connectionId;
  } else if (call->method == "cancel") {
    auto l = listeners_.find(frame.channel);
    if (l != listeners_.end() && l->second == connectionId) listeners_.erase(l);
  }
  std::weak_ptr<SocketConnection> weak = connection;
  uint32_t replyId = frame.id;
  auto answered = std::make_shared<bool>(false);
  dispatch(frame.channel, frame.payload, [weak, replyId, answered](const Bytes* reply) {
    if (*answered) return;
    *answered = true;
    auto c = weak.lock();
    if (!c || replyId == 0 || reply == nullptr) return;
    c->sendFrame(Frame{Frame::kReply, replyId, {}, *reply});
  });
}

void SocketHostMessenger::dispatch(const std::string& channel, ByteView payload,
                                   BinaryReply reply) {
  auto handler = handlers_.find(channel);
  if (handler == handlers_.end()) {
    Bytes empty;  // no handler: not implemented
    reply(&empty);
    return;
  }
  // Copy: the handler may replace itself while running.
  auto fn = handler->second;
  fn(payload, std::move(reply));
}

void SocketHostMessenger::onClosed(uint64_t connectionId, const std::string& reason) {
  connections_.erase(connectionId);
  for (auto it = pendingReplies_.begin(); it != pendingReplies_.end();) {
    if (it->second.first == connectionId) {
      auto reply = std::move(it->second.second);
      it = pendingReplies_.erase(it);
      reply(nullptr);
    } else {
      ++it;
    }
  }
  // A connection that goes away cancels the streams it listened to.
  std::vector<std::string> cancelled;
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (it->second == connectionId) {
      cancelled.push_back(it->first);
      it = listeners_.erase(it);
    } else {
      ++it;
    }
  }
  Bytes cancel = StandardMethodCodec::encodeMethodCall({"cancel", Value()});
  for (const auto& channel : cancelled) dispatch(channel, cancel, [](const Bytes*) {});
  if (closedHook_) closedHook_(reason);
}

void SocketHostMessenger::send(const std::string& channel, Bytes message, BinaryReply reply) {
  auto l = listeners_.find(channel);
  auto c = l == listeners_.end() ? connections_.end() : connections_.find(l->second);
  if (c == connections_.end()) {
    if (reply) reply(nullptr);  // nobody listens: the message is dropped
    return;
  }
  uint32_t id = 0;
  if (reply) {
    id = nextReplyId_++;
    if (id == 0) id = nextReplyId_++;
    pendingReplies_[id] = {l->second, std::move(reply)};
  }
  c->second->sendFrame(Frame{Frame::kMessage, id, channel, std::move(message)});
}

void SocketHostMessenger::setMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

}  // namespace lumewell
