#include <gtest/gtest.h>

#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "support/fake_messenger.h"

namespace lumewell {
namespace {

using testing::FakeMessenger;
using testing::RecordingStreamHandler;

TEST(MethodChannel, EveryCallIsAnsweredExactlyOnce) {
  FakeMessenger m;
  std::vector<std::string> doubleAnswers;  // replaces the messenger's failing hook
  MethodResult::setDoubleAnswerHook(
      [&](const std::string& what) { doubleAnswers.push_back(what); });
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
  EXPECT_EQ(twice->answers, 1);
  EXPECT_EQ(twice->reply, StandardMethodCodec::encodeSuccessEnvelope(Value(int32_t{1})));
  EXPECT_EQ(doubleAnswers.size(), 1u);

  auto dropped = m.call("c", "drop");
  ASSERT_TRUE(dropped->envelope);
  EXPECT_EQ(dropped->envelope->kind, MethodEnvelope::Kind::error);
  EXPECT_EQ(dropped->envelope->error.code, "internal_error");

  auto keep = m.call("c", "keep");
  EXPECT_FALSE(keep->answered());  // pending while the plug-in holds it
  kept.reset();                    // released without an answer later: the caller still hears back
  EXPECT_EQ(keep->envelope->error.code, "internal_error");

  EXPECT_EQ(m.call("c", "other")->reply, Bytes{});
  // Bytes that are not a method call get the empty (not implemented) reply.
  auto garbage = m.deliver("c", Bytes{0x07, 0x09});
  EXPECT_EQ(garbage->answers, 1);
  EXPECT_EQ(garbage->reply, Bytes{});
}

TEST(EventChannel, ListenReplacesTheSinkAndOldSinksGoQuiet) {
  FakeMessenger m;
  auto h = std::make_shared<RecordingStreamHandler>();
  EventChannel(m, "e").setStreamHandler(h);
  EXPECT_EQ(m.call("e", "listen")->reply, StandardMethodCodec::encodeSuccessEnvelope(Value()));
  h->sinks[0](Value("one"));
  EXPECT_TRUE(m.call("e", "listen")->isSuccess());
  EXPECT_EQ(h->cancels, 1);  // the earlier stream was cancelled first
  h->sinks[0](Value("stale"));
  h->sinks[1](Value("two"));
  m.call("e", "cancel");
  h->sinks[1](Value("after cancel"));
  EXPECT_EQ(m.events["e"], (std::vector<Value>{Value("one"), Value("two")}));
  // Cancelling what is not listening is an error answer, not a crash.
  EXPECT_EQ(m.call("e", "cancel")->envelope->kind, MethodEnvelope::Kind::error);
}

}  // namespace
}  // namespace lumewell
