#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "channels/standard_codec.h"

namespace lumewell::testing {

// Fails the running GoogleTest test with what: FakeMessenger's default fault handler.
void failTest(const std::string& what);

// An in-memory messenger standing in for the engine: the test plays the Dart side and keeps
// the events sent, by channel. A call answered twice, an answer or event off the thread that
// made it, an undecodable event, a call with no handler go to the fault handler (by default:
// the test fails). Header-only, so that the fuzzers use it with a handler that aborts.
class FakeMessenger final : public BinaryMessenger {
 public:
  using FaultHandler = std::function<void(const std::string&)>;

  struct Call {
    int answers = 0;
    Bytes reply;                             // the last reply's bytes (empty: not implemented)
    std::optional<MethodEnvelope> envelope;  // the reply decoded, when it is an envelope
    bool answered() const { return answers > 0; }
    bool isSuccess() const { return envelope && envelope->kind == MethodEnvelope::Kind::success; }
  };

  explicit FakeMessenger(FaultHandler onFault = failTest) : onFault_(std::move(onFault)) {
    MethodResult::setDoubleAnswerHook(
        [fault = onFault_](const std::string& what) { fault("answered twice: " + what); });
  }
  ~FakeMessenger() override { MethodResult::setDoubleAnswerHook(nullptr); }
  FakeMessenger(const FakeMessenger&) = delete;
  FakeMessenger& operator=(const FakeMessenger&) = delete;

  void send(const std::string& channel, Bytes message, BinaryReply reply) override {
    if (std::this_thread::get_id() != thread_) onFault_("event sent off the main thread");
    auto envelope = StandardMethodCodec::decodeEnvelope(message);
    if (envelope.ok()) {
      events[channel].push_back(envelope->result);
      if (onEvent) onEvent(channel, envelope->result);
    } else {
      onFault_("undecodable event on " + channel);
    }
    if (reply) reply(nullptr);
  }

  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
    if (handler) {
      handlers_[channel] = std::move(handler);
    } else {
      handlers_.erase(channel);
    }
  }

  void clearHandlers() { handlers_.clear(); }

  // Hands message bytes, well formed or not, to the channel's handler.
  std::shared_ptr<Call> deliver(const std::string& channel, const Bytes& message) {
    auto call = std::make_shared<Call>();
    auto it = handlers_.find(channel);
    if (it == handlers_.end()) {
      onFault_("no handler on " + channel);
      return call;
    }
    auto handler = it->second;  // the handler may replace itself
    handler(message, [this, call, channel](const Bytes* reply) {
      if (std::this_thread::get_id() != thread_) onFault_("answer given off the main thread");
      if (++call->answers > 1) onFault_("a call on " + channel + " was answered twice");
      if (reply == nullptr) return;
      call->reply = *reply;
      auto decoded = StandardMethodCodec::decodeEnvelope(*reply);
      if (decoded.ok()) call->envelope = std::move(decoded.value());
    });
    return call;
  }

  std::shared_ptr<Call> call(const std::string& channel, const std::string& method,
                             const Value& arguments = Value()) {
    return deliver(channel, StandardMethodCodec::encodeMethodCall({method, arguments}));
  }

  std::map<std::string, std::vector<Value>> events;
  // Called with every event as it arrives (after it is kept in events).
  std::function<void(const std::string& channel, const Value& event)> onEvent;

 private:
  FaultHandler onFault_;
  std::thread::id thread_ = std::this_thread::get_id();
  std::map<std::string, BinaryMessageHandler> handlers_;
};

// Keeps every sink given and counts listens and cancels; a greeting goes to each new listener.
class RecordingStreamHandler final : public StreamHandler {
 public:
  std::optional<MethodError> onListen(const Value&, EventSink sink) override {
    ++listens;
    if (greeting) sink(*greeting);
    sinks.push_back(std::move(sink));
    return std::nullopt;
  }
  std::optional<MethodError> onCancel(const Value&) override {
    ++cancels;
    return std::nullopt;
  }
  std::optional<Value> greeting;
  std::vector<EventSink> sinks;
  int listens = 0, cancels = 0;
};

inline std::vector<Value> eventsOfType(const std::vector<Value>& events, const std::string& type) {
  std::vector<Value> out;
  for (const auto& e : events) {
    const std::string* t = mapString(e.asMap(), "type");
    if (t != nullptr && *t == type) out.push_back(e);
  }
  return out;
}

// The types of the events in order, without the level events.
inline std::vector<std::string> eventTypes(const std::vector<Value>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    const std::string* t = mapString(e.asMap(), "type");
    if (t == nullptr || *t != "level_changed") out.push_back(t ? *t : "?");
  }
  return out;
}

}  // namespace lumewell::testing
