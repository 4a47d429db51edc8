#pragma once

#include <functional>
#include <string>

#include "channels/standard_codec.h"

namespace lumewell {

// The answer to a message: the reply bytes (empty means not implemented), or null when no
// reply will ever come (the peer went away).
using BinaryReply = std::function<void(const Bytes* reply)>;
// Receives one message; must call reply exactly once (the host's channels guarantee it).
using BinaryMessageHandler = std::function<void(ByteView message, BinaryReply reply)>;

// Flutter's binary messenger: named channels carrying codec bytes both ways.
class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;
  // Sends a message on a channel; reply (optional) gets the peer's answer.
  virtual void send(const std::string& channel, Bytes message, BinaryReply reply = nullptr) = 0;
  // Installs (or, with an empty handler, removes) the handler of a channel.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace lumewell
