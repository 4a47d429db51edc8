#pragma once

#include <glib.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "channels/frame.h"

namespace lumewell {

// One end of a Unix stream socket carrying frames, driven by a GLib main context. Reading
// and writing never block; a protocol error or the peer's close ends the connection and
// calls onClosed once.
class SocketConnection : public std::enable_shared_from_this<SocketConnection> {
 public:
  using FrameHandler = std::function<void(Frame frame)>;
  using ClosedHandler = std::function<void(const std::string& reason)>;

  // Takes ownership of fd (made non-blocking here).
  static std::shared_ptr<SocketConnection> adopt(int fd, GMainContext* context);
  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;
  ~SocketConnection();

  // The handlers run only while the owner's flag holds true: an owner that goes clears it
  // before it closes the connection.
  void start(std::weak_ptr<bool> ownerAlive, FrameHandler onFrame, ClosedHandler onClosed);
  void sendFrame(const Frame& frame);
  // Closes now; onClosed runs with the reason (once).
  void close(const std::string& reason);
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  SocketConnection(int fd, GMainContext* context);
  static gboolean onIo(gint fd, GIOCondition condition, gpointer data);
  void readAvailable();
  void flush();
  void updateWatch();

  int fd_;
  GMainContext* context_;
  GSource* source_ = nullptr;
  GIOCondition watched_ = GIOCondition(0);
  FrameReader reader_;
  std::deque<Bytes> outgoing_;
  size_t outgoingOffset_ = 0;
  size_t outgoingBytes_ = 0;
  static constexpr size_t kMaxOutgoingBytes = 64u * 1024 * 1024;
  FrameHandler onFrame_;
  ClosedHandler onClosed_;
};

}  // namespace lumewell
