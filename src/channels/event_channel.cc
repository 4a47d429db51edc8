#include "channels/event_channel.h"

namespace lumewell {

EventChannel::EventChannel(BinaryMessenger& messenger, std::string name)
    : messenger_(messenger), name_(std::move(name)) {}

void EventChannel::setStreamHandler(std::shared_ptr<StreamHandler> handler) {
  if (!handler) {
    messenger_.setMessageHandler(name_, nullptr);
    return;
  }
  // The generation of the active listen; a sink of an older generation sends nothing.
  auto generation = std::make_shared<uint64_t>(0);
  auto active = std::make_shared<bool>(false);
  BinaryMessenger* messenger = &messenger_;
  std::string name = name_;
  messenger_.setMessageHandler(
      name_, [=](ByteView message, BinaryReply reply) {
        auto call = StandardMethodCodec::decodeMethodCall(message);
        Bytes answer;
        if (!call) {
          reply(&answer);
          return;
        }
        if (call->method == "listen") {
          if (*active) handler->onCancel(Value());  // a new listen replaces the old stream
          uint64_t mine = ++*generation;
          *active = true;
          EventSink sink = [messenger, name, generation, mine](const Value& event) {
            if (*generation != mine) return;
            messenger->send(name, StandardMethodCodec::encodeSuccessEnvelope(event));
          };
          auto err = handler->onListen(call->arguments, std::move(sink));
          if (err) {
            *active = false;
            ++*generation;
            answer = StandardMethodCodec::encodeErrorEnvelope(err->code, err->message, err->details);
          } else {
            answer = StandardMethodCodec::encodeSuccessEnvelope(Value());
          }
        } else if (call->method == "cancel") {
          if (!*active) {
            answer = StandardMethodCodec::encodeErrorEnvelope("error", "No active stream to cancel",
                                                              Value());
          } else {
            *active = false;
            ++*generation;
            auto err = handler->onCancel(call->arguments);
            answer = err ? StandardMethodCodec::encodeErrorEnvelope(err->code, err->message,
                                                                    err->details)
                         : StandardMethodCodec::encodeSuccessEnvelope(Value());
          }
        }
        reply(&answer);
      });
}

}  // namespace lumewell
