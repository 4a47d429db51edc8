#include "channels/event_channel.h"

#include <algorithm>
#include <vector>

namespace lumewell {
namespace {

// The envelope of a stream handler's answer.
Bytes envelopeOf(const std::optional<MethodError>& err) {
  return err ? StandardMethodCodec::encodeErrorEnvelope(err->code, err->message, err->details)
             : StandardMethodCodec::encodeSuccessEnvelope(Value());
}

// One channel's streams. Only the messenger owns it (through the channel's message handler),
// so its messenger is there whenever it runs; a sink holds it weakly, and one kept after the
// messenger has gone sends nothing.
struct StreamState {
  StreamState(BinaryMessenger& owner, std::string channel, std::shared_ptr<StreamHandler> h)
      : messenger(owner), name(std::move(channel)), handler(std::move(h)) {}
  BinaryMessenger& messenger;
  const std::string name;
  const std::shared_ptr<StreamHandler> handler;
  std::vector<PeerId> listeners;      // in the order they subscribed
  std::optional<PeerId> subscribing;  // set while onListen of that peer runs
  uint64_t generation = 0;            // advances when the stream ends; older sinks go inert

  bool listens(PeerId peer) const {
    return std::find(listeners.begin(), listeners.end(), peer) != listeners.end();
  }
  void remove(PeerId peer) { std::erase(listeners, peer); }
  // The last listener left: the stream ends.
  void end() { ++generation; }

  // Holds the state weakly: a plug-in keeps its sink, and the state keeps the plug-in.
  EventSink sink() {
    return [weak = weakSelf, mine = generation](const Value& event) {
      auto self = weak.lock();
      if (!self || self->generation != mine) return;
      Bytes bytes = StandardMethodCodec::encodeSuccessEnvelope(event);
      if (self->subscribing) {
        self->messenger.sendToPeer(*self->subscribing, self->name, std::move(bytes));
        return;
      }
      auto peers = self->listeners;  // a send may close a peer, which cancels its stream
      for (PeerId peer : peers) self->messenger.sendToPeer(peer, self->name, bytes);
    };
  }

  Bytes listen(PeerId peer, const Value& arguments) {
    if (listens(peer)) {
      remove(peer);
      if (listeners.empty()) {
        end();
        handler->onCancel(Value());  // a repeated listen of the only peer replaces its stream
      }
    }
    subscribing = peer;
    auto err = handler->onListen(arguments, sink());
    subscribing.reset();
    if (!err) listeners.push_back(peer);
    if (listeners.empty()) end();
    return envelopeOf(err);
  }

  Bytes cancel(PeerId peer, const Value& arguments) {
    if (!listens(peer)) {
      return StandardMethodCodec::encodeErrorEnvelope("error", "No active stream to cancel",
                                                      Value());
    }
    remove(peer);
    if (!listeners.empty()) return envelopeOf(std::nullopt);
    end();
    return envelopeOf(handler->onCancel(arguments));
  }

  std::weak_ptr<StreamState> weakSelf;
};

}  // namespace

EventChannel::EventChannel(BinaryMessenger& messenger, std::string name)
    : messenger_(messenger), name_(std::move(name)) {}

void EventChannel::setStreamHandler(std::shared_ptr<StreamHandler> handler) {
  if (!handler) return messenger_.setMessageHandler(name_, nullptr);
  auto state = std::make_shared<StreamState>(messenger_, name_, std::move(handler));
  state->weakSelf = state;
  messenger_.setMessageHandler(name_, [state](ByteView message, BinaryReply reply) {
    auto call = StandardMethodCodec::decodeMethodCall(message);
    Bytes answer;
    if (call && call->method == "listen") {
      answer = state->listen(state->messenger.currentPeer(), call->arguments);
    } else if (call && call->method == "cancel") {
      answer = state->cancel(state->messenger.currentPeer(), call->arguments);
    }
    reply(&answer);
  });
}

}  // namespace lumewell
