#pragma once

#include <glib.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/socket_connection.h"
#include "runtime/error.h"

namespace lumewell {

// The host's binary messenger, served on a Unix socket to Dart-side clients. A message's
// reply goes back to the connection that sent it; each connection is a peer of its own, so
// every connection that listens on an event channel gets its events. A connection that
// breaks the protocol is closed; the others go on. At kConnectionLimit connections a new
// client is still served: the oldest connection that neither listens nor waits for an
// answer makes room.
class SocketHostMessenger final : public BinaryMessenger {
 public:
  // Creates the socket folder (0700) and the socket (0600). A stale socket left by a dead
  // host is replaced; a live one is an error that says so.
  static Result<std::unique_ptr<SocketHostMessenger>> listen(const std::string& path,
                                                             GMainContext* context = nullptr);
  ~SocketHostMessenger() override;

  static constexpr size_t kConnectionLimit = 64;
  // When every connection listens or waits, new ones are still taken up to this many.
  static constexpr size_t kHardConnectionLimit = 256;
  // How long accepting pauses when the process is out of descriptors.
  static constexpr guint kAcceptBackoffMs = 250;

  // A message without a reply goes to every connection listening on the channel; one that
  // wants a reply to the one that listened first.
  void send(const std::string& channel, Bytes message, BinaryReply reply = nullptr) override;
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;
  PeerId currentPeer() const override { return currentPeer_; }
  void sendToPeer(PeerId peer, const std::string& channel, Bytes message) override;

  const std::string& path() const { return path_; }
  size_t connectionCount() const { return connections_.size(); }
  // Called with the reason whenever a connection closes (for logs and tests).
  void setConnectionClosedHook(std::function<void(const std::string&)> hook) {
    closedHook_ = std::move(hook);
  }

 private:
  SocketHostMessenger(int listenFd, std::string path, GMainContext* context);
  struct Peer {
    std::shared_ptr<SocketConnection> connection;
    std::set<std::string> listening;  // event channels it listens on
    size_t unanswered = 0;            // its messages still waiting for their reply
  };

  void watchAccept();
  void acceptPending();
  // Makes room for one more connection; false when none could be made.
  [[nodiscard]] bool makeRoom();
  void log(const std::string& line);
  void onFrame(uint64_t connectionId, Frame frame);
  void onClosed(uint64_t connectionId, const std::string& reason);
  void dispatch(const std::string& channel, ByteView payload, BinaryReply reply);

  int listenFd_;
  std::string path_;
  GMainContext* context_;
  GSource* acceptSource_ = nullptr;
  uint64_t nextConnectionId_ = 1;
  GSource* backoffSource_ = nullptr;
  std::map<uint64_t, Peer> connections_;  // by id: the oldest first
  MessageHandlers handlers_;
  PeerId currentPeer_ = 0;
  uint32_t nextReplyId_ = 1;
  std::map<uint32_t, std::pair<uint64_t, BinaryReply>> pendingReplies_;
  std::function<void(const std::string&)> closedHook_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace lumewell
