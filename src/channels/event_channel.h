#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/method_channel.h"
#include "channels/standard_codec.h"

namespace lumewell {

// Sends one event. Inside onListen it reaches the new listener alone (what a plug-in sends
// on subscribe); afterwards every listening peer. A sink becomes inert once the stream ends
// (its last listener cancelled or went away).
using EventSink = std::function<void(const Value& event)>;

class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  // Runs for every listener that subscribes.
  virtual std::optional<MethodError> onListen(const Value& arguments, EventSink sink) = 0;
  // Runs when the last listener has gone.
  virtual std::optional<MethodError> onCancel(const Value& arguments) = 0;
};

// A named event channel: "listen" and "cancel" method calls from the peers drive the stream
// handler; events go out as success envelopes. Each peer's stream is its own: a peer's
// cancel ends its stream only. With one peer this is Flutter's event channel (a second
// listen replaces the first: cancel, then listen).
class EventChannel {
 public:
  EventChannel(BinaryMessenger& messenger, std::string name);
  void setStreamHandler(std::shared_ptr<StreamHandler> handler);

 private:
  BinaryMessenger& messenger_;
  std::string name_;
};

// Opens a plug-in's method channel, whose handler keeps the plug-in alive and hands it every
// call (plugin->handleMethodCall), and its event channel with the plug-in as stream handler.
template <typename Plugin>
void openPluginChannels(BinaryMessenger& messenger, const std::string& methodChannel,
                        const std::string& eventChannel, std::shared_ptr<Plugin> plugin) {
  MethodChannel(messenger, methodChannel)
      .setMethodCallHandler([plugin](const MethodCall& call, MethodResultPtr result) {
        plugin->handleMethodCall(call, std::move(result));
      });
  EventChannel(messenger, eventChannel).setStreamHandler(std::move(plugin));
}

}  // namespace lumewell
