#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/standard_codec.h"

namespace lumewell {

// Sends one event to the current listener. A sink handed to an earlier listen becomes inert
// once that listen is cancelled or replaced.
using EventSink = std::function<void(const Value& event)>;

class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  virtual std::optional<MethodError> onListen(const Value& arguments, EventSink sink) = 0;
  virtual std::optional<MethodError> onCancel(const Value& arguments) = 0;
};

// A named event channel: "listen" and "cancel" method calls from the peer drive the stream
// handler; events go out as success envelopes.
class EventChannel {
 public:
  EventChannel(BinaryMessenger& messenger, std::string name);
  void setStreamHandler(std::shared_ptr<StreamHandler> handler);

 private:
  BinaryMessenger& messenger_;
  std::string name_;
};

}  // namespace lumewell
