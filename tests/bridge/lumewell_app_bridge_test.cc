#include "bridge/lumewell_app_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/fake_messenger.h"
#include "runtime/virtual_scheduler.h"

namespace lumewell::bridge {
namespace {

using lumewell::testing::FakeMessenger;
using Kind = MethodEnvelope::Kind;

Value callbackEvent(const std::string& url) {
  return Value(ValueMap{{"type", "auth_callback"}, {"url", url}});
}

class AppBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MethodResult::setDoubleAnswerHook(
        [](const std::string& what) { ADD_FAILURE() << "answered twice: " << what; });
    bridge = std::make_shared<LumewellAppBridge>(
        scheduler,
        [this](const std::string& url, std::function<void(bool)> done) {
          opened.push_back(url);
          openCompletions.push_back(std::move(done));
        },
        [this](std::string_view line) { log.emplace_back(line); });
    bridge->registerChannels(messenger);
  }
  void TearDown() override { MethodResult::setDoubleAnswerHook(nullptr); }

  std::shared_ptr<FakeMessenger::Reply> call(const std::string& method,
                                             const Value& arguments = Value()) {
    return messenger.call(kAppChannel, method, arguments);
  }
  std::shared_ptr<FakeMessenger::Reply> listen() {
    return messenger.call(kAppEventChannel, "listen");
  }
  const std::vector<Value>& events() { return messenger.events[kAppEventChannel]; }

  VirtualScheduler scheduler;
  FakeMessenger messenger;
  std::vector<std::string> log;
  std::vector<std::string> opened;
  std::vector<std::function<void(bool)>> openCompletions;
  std::shared_ptr<LumewellAppBridge> bridge;
};

TEST_F(AppBridgeTest, OnlyTheLatestUrlIsHeldAndReplayedOnceOnListen) {
  bridge->handleIncomingUrl("lumewell://auth?code=1");
  bridge->handleIncomingUrl("lumewell://auth?code=2");
  EXPECT_TRUE(events().empty());

  auto listening = listen();
  ASSERT_TRUE(listening->envelope);
  EXPECT_EQ(listening->envelope->kind, Kind::success);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0], callbackEvent("lumewell://auth?code=2"));

  // Replayed means delivered: nothing is left to consume.
  auto consumed = call("consumePendingAuthCallback");
  ASSERT_TRUE(consumed->envelope);
  EXPECT_EQ(consumed->envelope->kind, Kind::success);
  EXPECT_TRUE(consumed->envelope->result.isNull());

  EXPECT_EQ(log, (std::vector<std::string>{
                     "Lumewell Recorder app bridge received url: lumewell://auth?code=1",
                     "Lumewell Recorder app bridge storing pending auth callback",
                     "Lumewell Recorder app bridge received url: lumewell://auth?code=2",
                     "Lumewell Recorder app bridge storing pending auth callback",
                     "Lumewell Recorder app bridge event stream attached",
                     "Lumewell Recorder app bridge replaying pending auth callback",
                     "Lumewell Recorder consumePendingAuthCallback called",
                 }));
}

TEST_F(AppBridgeTest, UrlsWhileListeningGoOutAtOnceAndAfterCancelAreHeldAgain) {
  listen();
  bridge->handleIncomingUrl("lumewell://a");
  bridge->handleIncomingUrl("lumewell://b");
  ASSERT_EQ(events().size(), 2u);
  EXPECT_EQ(events()[0], callbackEvent("lumewell://a"));
  EXPECT_EQ(events()[1], callbackEvent("lumewell://b"));
  EXPECT_FALSE(bridge->pendingAuthCallbackUrl());
  EXPECT_TRUE(call("consumePendingAuthCallback")->envelope->result.isNull());

  auto cancelled = messenger.call(kAppEventChannel, "cancel");
  EXPECT_EQ(cancelled->envelope->kind, Kind::success);
  bridge->handleIncomingUrl("lumewell://c");
  EXPECT_EQ(events().size(), 2u);  // the cancelled sink sends nothing

  // A held URL is taken exactly once by consumePendingAuthCallback.
  EXPECT_EQ(call("consumePendingAuthCallback")->envelope->result, Value("lumewell://c"));
  EXPECT_TRUE(call("consumePendingAuthCallback")->envelope->result.isNull());

  EXPECT_NE(std::find(log.begin(), log.end(),
                      "Lumewell Recorder app bridge delivering auth callback immediately"),
            log.end());
  EXPECT_NE(
      std::find(log.begin(), log.end(), "Lumewell Recorder app bridge event stream cancelled"),
      log.end());
}

TEST_F(AppBridgeTest, CancelLeavesAPendingUrlForTheNextListener) {
  listen();
  messenger.call(kAppEventChannel, "cancel");
  bridge->handleIncomingUrl("lumewell://later");
  messenger.call(kAppEventChannel, "cancel");  // nothing active: the channel answers, state kept
  EXPECT_EQ(bridge->pendingAuthCallbackUrl(), "lumewell://later");
  listen();
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0], callbackEvent("lumewell://later"));
}

TEST_F(AppBridgeTest, OpenExternalUrlRejectsEverythingButAUrlString) {
  const std::vector<Value> bad = {
      Value(),
      Value(ValueList{Value("https://example.com")}),
      Value(ValueMap{{"url", Value(int32_t{5})}}),
      Value(ValueMap{{"link", "https://example.com"}}),
      Value(ValueMap{{"url", "not a url"}}),
      Value(ValueMap{{"url", "/tmp/relative/path"}}),
      Value(ValueMap{{"url", "https://example.com/\nforged log line"}}),
      Value(ValueMap{{"url", "http://[bad"}}),
      Value(ValueMap{{"url", ""}}),
  };
  for (const auto& arguments : bad) {
    auto reply = call("openExternalUrl", arguments);
    ASSERT_TRUE(reply->envelope);
    EXPECT_EQ(reply->envelope->kind, Kind::error);
    EXPECT_EQ(reply->envelope->error.code, "bad_args");
    EXPECT_EQ(reply->envelope->error.message, "Expected a valid url argument.");
    EXPECT_TRUE(reply->envelope->error.details.isNull());
  }
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(log.empty());
}

TEST_F(AppBridgeTest, OpenExternalUrlAnswersFromTheOpenersSuccessFlag) {
  auto ok = call("openExternalUrl", Value(ValueMap{{"url", "https://example.com/a?b=c"}}));
  auto refused = call("openExternalUrl", Value(ValueMap{{"url", "nohandler://x"}}));
  ASSERT_EQ(opened, (std::vector<std::string>{"https://example.com/a?b=c", "nohandler://x"}));
  // Nothing is answered before the handler was started.
  EXPECT_EQ(ok->answers, 0);
  EXPECT_EQ(refused->answers, 0);

  openCompletions[1](false);
  openCompletions[0](true);
  ASSERT_TRUE(ok->envelope);
  EXPECT_EQ(ok->envelope->kind, Kind::success);
  EXPECT_TRUE(ok->envelope->result.isNull());
  ASSERT_TRUE(refused->envelope);
  EXPECT_EQ(refused->envelope->kind, Kind::error);
  EXPECT_EQ(refused->envelope->error.code, "open_failed");
  EXPECT_EQ(refused->envelope->error.message, "Unable to open external URL.");
  EXPECT_EQ(refused->envelope->error.details, Value("nohandler://x"));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "Lumewell Recorder opening external url: https://example.com/a?b=c",
                     "Lumewell Recorder opening external url: nohandler://x",
                 }));
}

TEST_F(AppBridgeTest, OpenCompletionAfterTheBridgeIsGoneStillAnswersOnce) {
  auto reply = call("openExternalUrl", Value(ValueMap{{"url", "https://example.com"}}));
  auto done = openCompletions[0];
  openCompletions.clear();
  bridge.reset();
  messenger.handlers.clear();
  done(true);
  EXPECT_EQ(reply->answers, 1);
  EXPECT_EQ(reply->envelope->kind, Kind::success);
}

TEST_F(AppBridgeTest, RestartAnswersAtOnceAndRestartsOnce300msLater) {
  int restarts = 0;
  bridge->setRestartHandler([&] { ++restarts; });
  auto first = call("restartApp", Value(ValueMap{{"ignored", true}}));
  ASSERT_TRUE(first->envelope);
  EXPECT_EQ(first->envelope->kind, Kind::success);
  EXPECT_TRUE(first->envelope->result.isNull());

  scheduler.advance(std::chrono::milliseconds(299));
  EXPECT_EQ(restarts, 0);
  auto second = call("restartApp");  // while one is due: answered, not doubled
  EXPECT_EQ(second->envelope->kind, Kind::success);
  scheduler.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(restarts, 1);
  scheduler.advance(std::chrono::seconds(5));
  EXPECT_EQ(restarts, 1);
}

TEST_F(AppBridgeTest, RestartWaitsForARecordingToEnd) {
  int restarts = 0;
  bool recording = true;
  bridge->setRestartHandler([&] { ++restarts; });
  bridge->setRecorderBusy([&] { return recording; });
  bridge->recorderBecameIdle();                                  // nothing held: nothing happens
  EXPECT_EQ(call("restartApp")->envelope->kind, Kind::success);  // answered at once
  scheduler.advance(std::chrono::seconds(5));
  call("restartApp");  // while one is held: answered, not doubled
  scheduler.advance(std::chrono::seconds(5));
  EXPECT_EQ(restarts, 0);
  bridge->recorderBecameIdle();  // a stale notice while still recording changes nothing
  EXPECT_EQ(restarts, 0);
  recording = false;
  bridge->recorderBecameIdle();
  EXPECT_EQ(restarts, 1);
  bridge->recorderBecameIdle();
  scheduler.advance(std::chrono::seconds(5));
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "Lumewell Recorder app bridge holding the restart until the recording ends",
                     "Lumewell Recorder app bridge restarting now that the recording has ended"}));
}

TEST_F(AppBridgeTest, RestartDueAfterTheBridgeIsGoneDoesNothing) {
  int restarts = 0;
  bridge->setRestartHandler([&] { ++restarts; });
  call("restartApp");
  messenger.handlers.clear();
  bridge.reset();
  scheduler.advance(std::chrono::seconds(1));
  EXPECT_EQ(restarts, 0);
}

TEST_F(AppBridgeTest, MethodNamesMatchExactly) {
  for (const char* method : {"OpenExternalUrl", "consumependingauthcallback", "RESTARTAPP",
                             "restartApp ", "", "listen"}) {
    auto reply = call(method, Value(ValueMap{{"url", "https://example.com"}}));
    ASSERT_TRUE(reply->envelope) << method;
    EXPECT_EQ(reply->envelope->kind, Kind::notImplemented) << method;
    EXPECT_EQ(reply->answers, 1);
  }
  EXPECT_TRUE(opened.empty());
}

TEST(AppBridgeShared, ConcurrentFirstUseCreatesOneInstance) {
  constexpr int kThreads = 8;
  std::vector<LumewellAppBridge*> seen(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = LumewellAppBridge::shared().get();
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  for (auto* instance : seen) EXPECT_EQ(instance, seen[0]);
  EXPECT_EQ(LumewellAppBridge::shared().get(), seen[0]);
}

}  // namespace
}  // namespace lumewell::bridge
