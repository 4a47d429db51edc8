#pragma once

#include <glib.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "channels/binary_messenger.h"
#include "channels/socket_connection.h"
#include "runtime/error.h"

namespace lumewell {

// The host's binary messenger, served on a Unix socket to Dart-side clients. A message's
// reply goes back to the connection that sent it; events (messages the host sends on an
// event channel) go to the connection that listened on that channel. A connection that
// breaks the protocol is closed; the others go on.
class SocketHostMessenger final : public BinaryMessenger {
 public:
  // Creates the socket folder (0700) and the socket (0600). A stale socket left by a dead
  // host is replaced; a live one is an error that says so.
  static Result<std::unique_ptr<SocketHostMessenger>> listen(const std::string& path,
                                                             GMainContext* context = nullptr);
  ~SocketHostMessenger() override;

  void send(const std::string& channel, Bytes message, BinaryReply reply = nullptr) override;
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  const std::string& path() const { return path_; }
  size_t connectionCount() const { return connections_.size(); }
  // Called with the reason whenever a connection closes (for logs and tests).
  void setConnectionClosedHook(std::function<void(const std::string&)> hook) {
    closedHook_ = std::move(hook);
  }

 private:
  SocketHostMessenger(int listenFd, std::string path, GMainContext* context);
  static gboolean onAccept(gint fd, GIOCondition, gpointer data);
  void acceptPending();
  void onFrame(uint64_t connectionId, Frame frame);
  void onClosed(uint64_t connectionId, const std::string& reason);
  void dispatch(const std::string& channel, ByteView payload, BinaryReply reply);

  int listenFd_;
  std::string path_;
  GMainContext* context_;
  GSource* acceptSource_ = nullptr;
  uint64_t nextConnectionId_ = 1;
  std::map<uint64_t, std::shared_ptr<SocketConnection>> connections_;
  std::unordered_map<std::string, BinaryMessageHandler> handlers_;
  // Event channel name -> the connection listening on it.
  std::unordered_map<std::string, uint64_t> listeners_;
  uint32_t nextReplyId_ = 1;
  std::map<uint32_t, std::pair<uint64_t, BinaryReply>> pendingReplies_;
  std::function<void(const std::string&)> closedHook_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace lumewell
