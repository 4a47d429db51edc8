#include <gtest/gtest.h>

#include <map>

#include "channels/event_channel.h"
#include "channels/method_channel.h"

namespace lumewell {
namespace {

// Messenger that hands messages straight to the installed handler and records what the
// host sends.
class DirectMessenger final : public BinaryMessenger {
 public:
  void send(const std::string& channel, Bytes message, BinaryReply) override {
    sent[channel].push_back(std::move(message));
  }
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
    handlers[channel] = std::move(handler);
  }
  // Delivers a method call; returns every reply given (should be exactly one).
  std::vector<Bytes> call(const std::string& channel, const std::string& method,
                          const Value& args = Value()) {
    auto replies = std::make_shared<std::vector<Bytes>>();
    handlers[channel](StandardMethodCodec::encodeMethodCall({method, args}),
                      [replies](const Bytes* b) { replies->push_back(b ? *b : Bytes{0xee}); });
    return *replies;
  }
  std::map<std::string, BinaryMessageHandler> handlers;
  std::map<std::string, std::vector<Bytes>> sent;
};

TEST(MethodChannel, EveryCallIsAnsweredExactlyOnce) {
  DirectMessenger m;
  std::vector<std::string> doubleAnswers;
  MethodResult::setDoubleAnswerHook([&](const std::string& what) { doubleAnswers.push_back(what); });
  MethodResultPtr kept;
  MethodChannel(m, "c").setMethodCallHandler([&](const MethodCall& call, MethodResultPtr result) {
    if (call.method == "twice") {
      result->success(Value(int32_t{1}));
      result->error("x", "y");  // a programming error: reported, not sent
    } else if (call.method == "drop") {
      // never answered: the result's destruction answers for it
    } else if (call.method == "keep") {
      kept = result;
    } else {
      result->notImplemented();
    }
  });
  auto twice = m.call("c", "twice");
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(twice[0], StandardMethodCodec::encodeSuccessEnvelope(Value(int32_t{1})));
  EXPECT_EQ(doubleAnswers.size(), 1u);

  auto dropped = m.call("c", "drop");
  ASSERT_EQ(dropped.size(), 1u);
  auto env = StandardMethodCodec::decodeEnvelope(dropped[0]);
  ASSERT_TRUE(env.ok());
  EXPECT_EQ(env->kind, MethodEnvelope::Kind::error);
  EXPECT_EQ(env->error.code, "internal_error");

  EXPECT_TRUE(m.call("c", "keep").empty());  // still pending while the plug-in holds it
  kept.reset();  // released without an answer later: the caller still hears back

  EXPECT_EQ(m.call("c", "other"), std::vector<Bytes>{Bytes{}});
  // Bytes that are not a method call get the empty (not implemented) reply.
  std::vector<Bytes> replies;
  m.handlers["c"](Bytes{0x07, 0x09}, [&](const Bytes* b) { replies.push_back(*b); });
  EXPECT_EQ(replies, std::vector<Bytes>{Bytes{}});
  MethodResult::setDoubleAnswerHook(nullptr);
}

class Handler final : public StreamHandler {
 public:
  std::optional<MethodError> onListen(const Value&, EventSink s) override {
    sinks.push_back(std::move(s));
    return std::nullopt;
  }
  std::optional<MethodError> onCancel(const Value&) override {
    ++cancels;
    return std::nullopt;
  }
  std::vector<EventSink> sinks;
  int cancels = 0;
};

TEST(EventChannel, ListenReplacesTheSinkAndOldSinksGoQuiet) {
  DirectMessenger m;
  auto h = std::make_shared<Handler>();
  EventChannel(m, "e").setStreamHandler(h);
  EXPECT_EQ(m.call("e", "listen")[0], StandardMethodCodec::encodeSuccessEnvelope(Value()));
  h->sinks[0](Value("one"));
  EXPECT_EQ(m.call("e", "listen")[0], StandardMethodCodec::encodeSuccessEnvelope(Value()));
  EXPECT_EQ(h->cancels, 1);  // the earlier stream was cancelled first
  h->sinks[0](Value("stale"));
  h->sinks[1](Value("two"));
  m.call("e", "cancel");
  h->sinks[1](Value("after cancel"));
  ASSERT_EQ(m.sent["e"].size(), 2u);
  EXPECT_EQ(m.sent["e"][0], StandardMethodCodec::encodeSuccessEnvelope(Value("one")));
  EXPECT_EQ(m.sent["e"][1], StandardMethodCodec::encodeSuccessEnvelope(Value("two")));
  // Cancelling what is not listening is an error answer, not a crash.
  auto env = StandardMethodCodec::decodeEnvelope(m.call("e", "cancel")[0]);
  EXPECT_EQ(env->kind, MethodEnvelope::Kind::error);
}

}  // namespace
}  // namespace lumewell
