#include "channels/socket_host_messenger.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "channels/socket_paths.h"
#include "runtime/files.h"
#include "runtime/glib_scheduler.h"

namespace lumewell {
namespace {

Error hostError(const std::string& text) { return Error{"socket", 1, text}; }

// Whether a host answers on the socket at path.
bool socketIsLive(const sockaddr_un& addr) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return live;
}

Result<bool> ensurePrivateFolder(const std::string& dir) {
  if (auto error = createDirectories(dir)) return *error;
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
  if (!socketAddress(path, &addr)) return hostError("The socket path is too long: " + path);
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
  (void)::chmod(path.c_str(), 0600);  // already 0600 by the umask; this only insists
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
  watchAccept();
}

SocketHostMessenger::~SocketHostMessenger() {
  *alive_ = false;
  dropSource(acceptSource_);
  dropSource(backoffSource_);
  auto connections = std::exchange(connections_, {});
  for (auto& [id, peer] : connections) peer.connection->close("host stopped");
  ::close(listenFd_);
  ::unlink(path_.c_str());
  g_main_context_unref(context_);
}

void SocketHostMessenger::watchAccept() {
  acceptSource_ = g_unix_fd_source_new(listenFd_, G_IO_IN);
  auto onAccept = +[](gint, GIOCondition, gpointer self) -> gboolean {
    static_cast<SocketHostMessenger*>(self)->acceptPending();
    return G_SOURCE_CONTINUE;
  };
  g_source_set_callback(acceptSource_, G_SOURCE_FUNC(onAccept), this, nullptr);
  g_source_attach(acceptSource_, context_);
}

void SocketHostMessenger::log(const std::string& line) {
  std::fprintf(stderr, "Lumewell Recorder socket: %s\n", line.c_str());
}

bool SocketHostMessenger::makeRoom() {
  if (connections_.size() < kConnectionLimit) return true;
  for (auto& [id, peer] : connections_) {
    if (peer.listening.empty() && peer.unanswered == 0) {
      log("closing idle connection " + std::to_string(id) + " to serve a new client (" +
          std::to_string(kConnectionLimit) + " connections open)");
      auto connection = peer.connection;  // closing erases the entry
      connection->close("closed to make room for a new client");
      return true;
    }
  }
  return connections_.size() < kHardConnectionLimit;
}

void SocketHostMessenger::acceptPending() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The pending client stays queued and the listening socket stays readable: watching
        // it now would spin. Look again in a moment.
        log(std::string("cannot take a new connection for now: ") + g_strerror(errno));
        dropSource(acceptSource_);
        backoffSource_ = g_timeout_source_new(kAcceptBackoffMs);
        auto watchAgain = +[](gpointer data) -> gboolean {
          auto* self = static_cast<SocketHostMessenger*>(data);
          g_source_unref(self->backoffSource_);
          self->backoffSource_ = nullptr;
          self->watchAccept();
          return G_SOURCE_REMOVE;
        };
        g_source_set_callback(backoffSource_, watchAgain, this, nullptr);
        g_source_attach(backoffSource_, context_);
      }
      return;  // EAGAIN, or a transient error: try again on the next wake-up
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
      ::close(fd);  // another user's process: never served
      if (closedHook_) closedHook_("peer of another user refused");
      continue;
    }
    if (!makeRoom()) {
      ::close(fd);
      log("refused a connection: " + std::to_string(connections_.size()) +
          " connections are open and every one listens or waits for an answer");
      if (closedHook_) closedHook_("connection limit reached");
      continue;
    }
    uint64_t id = nextConnectionId_++;
    auto connection = SocketConnection::adopt(fd, context_);
    connections_[id].connection = connection;
    connection->start(
        alive_, [this, id](Frame frame) { onFrame(id, std::move(frame)); },
        [this, id](const std::string& reason) { onClosed(id, reason); });
  }
}

void SocketHostMessenger::onFrame(uint64_t connectionId, Frame frame) {
  auto it = connections_.find(connectionId);
  if (it == connections_.end()) return;
  auto connection = it->second.connection;
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
  // "cancel" calls). Bytes that are not one end the connection; the check builds no values,
  // the channel that handles the call decodes it once.
  auto method = StandardMethodCodec::checkMethodCall(frame.payload);
  if (!method) {
    connection->close("message is not a valid method call: " + method.error().localizedDescription);
    return;
  }
  Peer& peer = it->second;
  if (*method == "listen") peer.listening.insert(frame.channel);
  if (*method == "cancel") peer.listening.erase(frame.channel);
  uint32_t replyId = frame.id;
  if (replyId != 0) ++peer.unanswered;
  auto answered = std::make_shared<bool>(false);
  std::weak_ptr<SocketConnection> weak = connection;
  std::weak_ptr<bool> alive = alive_;
  auto reply = [this, alive, weak, connectionId, replyId, answered](const Bytes* bytes) {
    if (*answered) return;
    *answered = true;
    auto c = weak.lock();
    if (!c || !c->isOpen() || alive.expired() || replyId == 0) return;
    auto p = connections_.find(connectionId);
    if (p != connections_.end() && p->second.unanswered > 0) --p->second.unanswered;
    if (bytes != nullptr) c->sendFrame(Frame{Frame::kReply, replyId, {}, *bytes});
  };
  PeerId previous = std::exchange(currentPeer_, connectionId);
  dispatch(frame.channel, frame.payload, std::move(reply));
  currentPeer_ = previous;
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
  auto it = connections_.find(connectionId);
  if (it == connections_.end()) return;
  std::set<std::string> listening = std::move(it->second.listening);
  connections_.erase(it);
  for (auto p = pendingReplies_.begin(); p != pendingReplies_.end();) {
    if (p->second.first == connectionId) {
      auto reply = std::move(p->second.second);
      p = pendingReplies_.erase(p);
      reply(nullptr);
    } else {
      ++p;
    }
  }
  // A connection that goes away cancels the streams it listened to, and only those.
  Bytes cancel = StandardMethodCodec::encodeMethodCall({"cancel", Value()});
  PeerId previous = std::exchange(currentPeer_, connectionId);
  for (const auto& channel : listening) dispatch(channel, cancel, [](const Bytes*) {});
  currentPeer_ = previous;
  if (closedHook_) closedHook_(reason);
}

void SocketHostMessenger::send(const std::string& channel, Bytes message, BinaryReply reply) {
  std::vector<uint64_t> targets;
  for (const auto& [id, peer] : connections_) {
    if (peer.listening.count(channel) != 0) targets.push_back(id);
  }
  if (targets.empty()) {
    if (reply) reply(nullptr);  // nobody listens: the message is dropped
    return;
  }
  if (reply) {
    uint32_t id = nextReplyId_++;
    if (id == 0) id = nextReplyId_++;
    pendingReplies_[id] = {targets.front(), std::move(reply)};
    connections_[targets.front()].connection->sendFrame(
        Frame{Frame::kMessage, id, channel, std::move(message)});
    return;
  }
  for (uint64_t target : targets) sendToPeer(target, channel, message);
}

void SocketHostMessenger::sendToPeer(PeerId peer, const std::string& channel, Bytes message) {
  auto it = connections_.find(peer);
  if (it == connections_.end()) return;
  auto connection = it->second.connection;  // a failed write closes it and erases the entry
  connection->sendFrame(Frame{Frame::kMessage, 0, channel, std::move(message)});
}

void SocketHostMessenger::setMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  setHandler(handlers_, channel, std::move(handler));
}

}  // namespace lumewell
