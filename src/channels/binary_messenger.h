#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <utility>

#include "channels/standard_codec.h"

namespace lumewell {

// The answer to a message: the reply bytes (empty means not implemented), or null when no
// reply will ever come (the peer went away).
using BinaryReply = std::function<void(const Bytes* reply)>;
// Receives one message; must call reply exactly once (the host's channels guarantee it).
using BinaryMessageHandler = std::function<void(ByteView message, BinaryReply reply)>;

// A messenger's handlers by channel, and what setMessageHandler does to them: an empty handler
// removes the channel's.
using MessageHandlers = std::unordered_map<std::string, BinaryMessageHandler>;
inline void setHandler(MessageHandlers& handlers, const std::string& channel,
                       BinaryMessageHandler handler) {
  if (handler) {
    handlers[channel] = std::move(handler);
  } else {
    handlers.erase(channel);
  }
}

// Which client sent a message. A messenger with one client (Flutter's) has the one peer 0;
// the socket transport gives each connection its own.
using PeerId = uint64_t;

// Flutter's binary messenger: named channels carrying codec bytes both ways.
// A messenger owns its transport (a socket, a connection): it is never copied.
class BinaryMessenger {
 public:
  BinaryMessenger() = default;
  BinaryMessenger(const BinaryMessenger&) = delete;
  BinaryMessenger& operator=(const BinaryMessenger&) = delete;
  virtual ~BinaryMessenger() = default;
  // The peer whose message is being handled; valid while a message handler runs.
  virtual PeerId currentPeer() const { return 0; }
  // Sends a message that wants no reply to one peer only (an event for one listener).
  virtual void sendToPeer(PeerId peer, const std::string& channel, Bytes message) {
    (void)peer;
    send(channel, std::move(message));
  }
  // Sends a message on a channel; reply (optional) gets the peer's answer.
  virtual void send(const std::string& channel, Bytes message, BinaryReply reply = nullptr) = 0;
  // Installs (or, with an empty handler, removes) the handler of a channel.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace lumewell
