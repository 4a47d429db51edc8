#include <gtest/gtest.h>

#include "bridge/lumewell_app_bridge.h"
#include "bridge/url_check.h"
#include "channels/standard_codec.h"
#include "runtime/virtual_scheduler.h"
#include "support/fake_messenger.h"

namespace lumewell::bridge {
namespace {

Value callbackEvent(const std::string& url) {
  return Value(ValueMap{{"type", "auth_callback"}, {"url", url}});
}

class AppBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridge = std::make_shared<LumewellAppBridge>(
        scheduler,
        [this](const std::string& url, std::function<void(bool)> done) {
          opened.push_back(url);
          openCompletions.push_back(std::move(done));
        },
        [this](std::string_view line) { log.emplace_back(line); });
    bridge->registerChannels(messenger);
  }

  auto call(const std::string& method, const Value& arguments = Value()) {
    return messenger.call(kAppChannel, method, arguments);
  }
  auto open(const std::string& url) { return call("openExternalUrl", ValueMap{{"url", url}}); }
  Value consume() {
    auto reply = call("consumePendingAuthCallback");
    EXPECT_TRUE(reply->isSuccess());
    return reply->isSuccess() ? reply->envelope->result : Value("<no answer>");
  }
  const std::vector<Value>& events() { return messenger.events[kAppEventChannel]; }

  VirtualScheduler scheduler;
  testing::FakeMessenger messenger;
  std::vector<std::string> log;
  std::vector<std::string> opened;
  std::vector<std::function<void(bool)>> openCompletions;
  std::shared_ptr<LumewellAppBridge> bridge;
};

TEST_F(AppBridgeTest, TheLatestUrlIsHeldUntilListenOrConsumeAndDeliveredOnce) {
  bridge->handleIncomingUrl("lumewell://auth?code=1");
  bridge->handleIncomingUrl("lumewell://auth?code=2");
  EXPECT_TRUE(messenger.call(kAppEventChannel, "listen")->isSuccess());
  EXPECT_EQ(events(), std::vector<Value>{callbackEvent("lumewell://auth?code=2")});
  EXPECT_TRUE(consume().isNull());  // replayed means delivered
  EXPECT_EQ(log.at(0), "Lumewell Recorder app bridge received url: lumewell://auth?code=1");

  // While listening every URL goes out at once; after cancel one is held again.
  bridge->handleIncomingUrl("lumewell://a");
  EXPECT_TRUE(messenger.call(kAppEventChannel, "cancel")->isSuccess());
  bridge->handleIncomingUrl("lumewell://b");
  messenger.call(kAppEventChannel, "cancel");  // nothing active: answered, the URL kept
  EXPECT_EQ(events(), (std::vector<Value>{callbackEvent("lumewell://auth?code=2"),
                                          callbackEvent("lumewell://a")}));
  EXPECT_EQ(consume(), Value("lumewell://b"));
  EXPECT_TRUE(consume().isNull());
}

TEST_F(AppBridgeTest, OpenExternalUrlTakesOnlyAUrlAndAnswersFromTheOpener) {
  // Method names match exactly (an empty answer is "not implemented").
  for (const char* method : {"OpenExternalUrl", "restartApp ", "", "listen"}) {
    auto reply = call(method, Value(ValueMap{{"url", "https://example.com"}}));
    EXPECT_TRUE(reply->answered() && reply->reply.empty()) << method;
  }
  // Arguments of the wrong shape, and one text that is no URL (UrlCheck has the others): the
  // exact error, with no details.
  const Bytes badArgs = StandardMethodCodec::encodeErrorEnvelope(
      "bad_args", "Expected a valid url argument.", Value());
  for (const Value& arguments : {Value(), Value(ValueList{Value("https://example.com")}),
                                 Value(ValueMap{{"url", Value(int32_t{5})}}),
                                 Value(ValueMap{{"link", "https://example.com"}}),
                                 Value(ValueMap{{"url", "https://example.com/\nforged log line"}})})
    EXPECT_EQ(call("openExternalUrl", arguments)->reply, badArgs);
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(log.empty());

  auto ok = open("https://example.com/a?b=c");
  auto refused = open("nohandler://x");
  auto late = open("https://example.com");
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[0], "https://example.com/a?b=c");
  EXPECT_FALSE(ok->answered() || refused->answered());  // not before the handler started
  openCompletions[1](false);
  openCompletions[0](true);
  EXPECT_EQ(ok->reply, StandardMethodCodec::encodeSuccessEnvelope(Value()));
  EXPECT_EQ(refused->reply,
            StandardMethodCodec::encodeErrorEnvelope("open_failed", "Unable to open external URL.",
                                                     Value("nohandler://x")));
  EXPECT_EQ(log.at(0), "Lumewell Recorder opening external url: https://example.com/a?b=c");

  // A completion after the bridge is gone still answers, once.
  auto done = openCompletions[2];
  openCompletions.clear();
  messenger.clearHandlers();
  bridge.reset();
  done(true);
  EXPECT_EQ(late->answers, 1);
  EXPECT_TRUE(late->isSuccess());
}

TEST_F(AppBridgeTest, RestartIsAnsweredAtOnceAndRunsOnce300msLaterOrWhenTheRecordingEnds) {
  int restarts = 0;
  bridge->setRestartHandler([&] { ++restarts; });
  EXPECT_TRUE(call("restartApp", Value(ValueMap{{"ignored", true}}))->isSuccess());
  scheduler.advance(std::chrono::milliseconds(299));
  EXPECT_TRUE(call("restartApp")->isSuccess());  // while one is due: answered, not doubled
  EXPECT_EQ(restarts, 0);
  scheduler.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(restarts, 1);
  scheduler.advance(std::chrono::seconds(5));  // not doubled, not repeated
  EXPECT_EQ(restarts, 1);

  bool recording = true;
  bridge->setRecorderBusy([&] { return recording; });
  bridge->recorderBecameIdle();  // nothing held: nothing happens
  EXPECT_TRUE(call("restartApp")->isSuccess());
  scheduler.advance(std::chrono::seconds(5));
  call("restartApp");
  bridge->recorderBecameIdle();  // a stale notice while still recording changes nothing
  EXPECT_EQ(restarts, 1);
  recording = false;
  bridge->recorderBecameIdle();
  bridge->recorderBecameIdle();
  scheduler.advance(std::chrono::seconds(5));
  EXPECT_EQ(restarts, 2);

  // A restart due after the bridge is gone does nothing.
  call("restartApp");
  messenger.clearHandlers();
  bridge.reset();
  scheduler.advance(std::chrono::seconds(1));
  EXPECT_EQ(restarts, 2);
}

TEST(UrlCheck, AcceptsBoundedAbsoluteUrlsOnly) {
  for (const char* url :
       {"lumewell://auth?code=1&state=a%20b", "https://example.com/p#frag",
        "mailto:someone@example.com", "lumewell:callback", "http://[::1]:8080/x"}) {
    EXPECT_TRUE(isAbsoluteUrl(url)) << url;
  }
  for (const char* text :
       {"", "hello", "/tmp/file.m4a", "./relative", "1abc:x", "a b:c", "lumewell://a%zz",
        "http://[bad", "https://example.com/a b", "lumewell://x\ny", "lumewell://\x01",
        "lumewell://caf\xc3\xa9", "http://a/<script>", "lumewell://a\"b", "-x", "--help"}) {
    EXPECT_FALSE(isAbsoluteUrl(text)) << text;
  }
  std::string url = "lumewell://auth?code=";
  url.append(kMaxUrlLength - url.size(), 'a');
  EXPECT_TRUE(isAbsoluteUrl(url));
  url.push_back('a');
  EXPECT_FALSE(isAbsoluteUrl(url));
}

}  // namespace
}  // namespace lumewell::bridge
