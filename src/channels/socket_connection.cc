#include "channels/socket_connection.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/glib_scheduler.h"

namespace lumewell {

std::shared_ptr<SocketConnection> SocketConnection::adopt(int fd, GMainContext* context) {
  return std::shared_ptr<SocketConnection>(new SocketConnection(fd, context));
}

SocketConnection::SocketConnection(int fd, GMainContext* context)
    : fd_(fd), context_(g_main_context_ref(context)) {
  int flags = fcntl(fd_, F_GETFL);
  fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

SocketConnection::~SocketConnection() {
  dropSource(source_);
  if (fd_ >= 0) ::close(fd_);
  g_main_context_unref(context_);
}

void SocketConnection::start(std::weak_ptr<bool> ownerAlive, FrameHandler onFrame,
                             ClosedHandler onClosed) {
  auto alive = [ownerAlive] {
    auto flag = ownerAlive.lock();
    return flag && *flag;
  };
  onFrame_ = [alive, onFrame = std::move(onFrame)](Frame frame) {
    if (alive()) onFrame(std::move(frame));
  };
  onClosed_ = [alive, onClosed = std::move(onClosed)](const std::string& reason) {
    if (alive()) onClosed(reason);
  };
  updateWatch();
}

void SocketConnection::updateWatch() {
  if (fd_ < 0) return;
  GIOCondition want = GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR);
  if (!outgoing_.empty()) want = GIOCondition(want | G_IO_OUT);
  if (source_ != nullptr && want == watched_) return;
  dropSource(source_);
  source_ = g_unix_fd_source_new(fd_, want);
  // The source holds only a raw pointer; it is destroyed with the connection or on close.
  g_source_set_callback(source_, G_SOURCE_FUNC(&SocketConnection::onIo), this, nullptr);
  g_source_attach(source_, context_);
  watched_ = want;
}

gboolean SocketConnection::onIo(gint, GIOCondition condition, gpointer data) {
  auto self = static_cast<SocketConnection*>(data)->shared_from_this();
  if (condition & G_IO_OUT) self->flush();
  if (self->isOpen() && (condition & (G_IO_IN | G_IO_HUP | G_IO_ERR))) self->readAvailable();
  return G_SOURCE_CONTINUE;
}

void SocketConnection::readAvailable() {
  uint8_t buf[65536];
  for (int rounds = 0; rounds < 64 && fd_ >= 0; ++rounds) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      close(std::string("read failed: ") + g_strerror(errno));
      return;
    }
    if (n == 0) {
      close(reader_.hasPartialFrame() ? "peer closed in the middle of a frame" : "peer closed");
      return;
    }
    reader_.feed(buf, static_cast<size_t>(n));
    Frame frame;
    for (;;) {
      auto status = reader_.next(&frame);
      if (status == FrameReader::Status::needMore) break;
      if (status == FrameReader::Status::error) return close(reader_.errorText());
      if (onFrame_) onFrame_(std::move(frame));
      if (fd_ < 0) return;  // the handler closed us
    }
  }
}

void SocketConnection::sendFrame(const Frame& frame) {
  if (fd_ < 0) return;
  outgoing_.push_back(encodeFrame(frame));
  outgoingBytes_ += outgoing_.back().size();
  if (outgoingBytes_ > kMaxOutgoingBytes) {
    // A peer that stops reading must not make the host hold its events forever.
    close("peer is not reading its messages");
    return;
  }
  flush();
}

void SocketConnection::flush() {
  while (fd_ >= 0 && !outgoing_.empty()) {
    const Bytes& front = outgoing_.front();
    ssize_t n =
        ::send(fd_, front.data() + outgoingOffset_, front.size() - outgoingOffset_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      close(std::string("write failed: ") + g_strerror(errno));
      return;
    }
    outgoingOffset_ += static_cast<size_t>(n);
    if (outgoingOffset_ == front.size()) {
      outgoingBytes_ -= front.size();
      outgoing_.pop_front();
      outgoingOffset_ = 0;
    }
  }
  updateWatch();
}

void SocketConnection::close(const std::string& reason) {
  if (fd_ < 0) return;
  auto keep = shared_from_this();
  dropSource(source_);
  ::close(fd_);
  fd_ = -1;
  outgoing_.clear();
  outgoingBytes_ = 0;
  if (auto closed = std::move(onClosed_)) closed(reason);
  onFrame_ = nullptr;
}

}  // namespace lumewell
