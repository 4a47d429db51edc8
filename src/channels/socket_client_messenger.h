#pragma once

#include <glib.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/socket_connection.h"
#include "runtime/error.h"

namespace lumewell {

// The Dart side's end of the socket transport: sends method calls and receives their
// replies and the host's events. Used by lumewellctl and by tests.
class SocketClientMessenger final : public BinaryMessenger {
 public:
  // With a timeout, a host whose queue of new connections is full fails after that long
  // (ETIMEDOUT) instead of holding the caller.
  static Result<std::unique_ptr<SocketClientMessenger>> connect(
      const std::string& path, GMainContext* context = nullptr,
      std::optional<std::chrono::milliseconds> timeout = {});
  ~SocketClientMessenger() override;

  void send(const std::string& channel, Bytes message, BinaryReply reply = nullptr) override;
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  bool isConnected() const { return connection_ && connection_->isOpen(); }
  void setClosedHandler(std::function<void(const std::string&)> handler) {
    closedHandler_ = std::move(handler);
  }
  // Sends raw bytes as they are (tests use it to send garbage).
  void sendRaw(const Bytes& bytes);
  int fd() const { return connection_ ? connection_->fd() : -1; }

 private:
  SocketClientMessenger(int fd, GMainContext* context);
  void onFrame(Frame frame);
  void onClosed(const std::string& reason);

  std::shared_ptr<SocketConnection> connection_;
  MessageHandlers handlers_;
  std::map<uint32_t, BinaryReply> pending_;
  uint32_t nextId_ = 1;
  std::function<void(const std::string&)> closedHandler_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace lumewell
