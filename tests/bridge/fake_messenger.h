#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/standard_codec.h"

namespace lumewell::testing {

// An in-memory messenger standing in for the engine: the test plays the Dart side, calling
// methods and collecting the events the plug-in sends.
class FakeMessenger final : public BinaryMessenger {
 public:
  // The answer of one call; empty until the plug-in answers.
  struct Reply {
    std::optional<MethodEnvelope> envelope;
    int answers = 0;
  };

  void send(const std::string& channel, Bytes message, BinaryReply reply) override {
    auto envelope = StandardMethodCodec::decodeEnvelope(message);
    EXPECT_TRUE(envelope.ok()) << "undecodable event on " << channel;
    if (envelope.ok()) events[channel].push_back(envelope->result);
    if (reply) reply(nullptr);
  }

  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
    if (handler) {
      handlers[channel] = std::move(handler);
    } else {
      handlers.erase(channel);
    }
  }

  std::shared_ptr<Reply> call(const std::string& channel, const std::string& method,
                              const Value& arguments = Value()) {
    auto reply = std::make_shared<Reply>();
    auto handler = handlers.find(channel);
    if (handler == handlers.end()) {
      ADD_FAILURE() << "no handler on " << channel;
      return reply;
    }
    handler->second(StandardMethodCodec::encodeMethodCall({method, arguments}),
                    [reply](const Bytes* bytes) {
                      ++reply->answers;
                      if (bytes == nullptr) return;
                      auto decoded = StandardMethodCodec::decodeEnvelope(*bytes);
                      if (decoded.ok()) reply->envelope = std::move(decoded.value());
                    });
    return reply;
  }

  std::map<std::string, BinaryMessageHandler> handlers;
  std::map<std::string, std::vector<Value>> events;
};

}  // namespace lumewell::testing
