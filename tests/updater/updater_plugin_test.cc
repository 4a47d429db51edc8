#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/virtual_scheduler.h"
#include "support/fake_messenger.h"
#include "updater/updater_plugin.h"

namespace lumewell::updater {
namespace {

// Stands where the update engine stands: records the operations, nothing else.
class FakeEngine final : public UpdaterEngine {
 public:
  std::vector<std::string> operations;
  void start() override { operations.push_back("start"); }
  void resetUpdateCycle() override { operations.push_back("reset"); }
  void checkForUpdates() override { operations.push_back("check"); }
  void checkForUpdateInformation() override { operations.push_back("information"); }
  OptionalError installPendingOnQuit() override {
    operations.push_back("installOnQuit");
    return std::nullopt;
  }
};

// What a call answered: its envelope, and the status record it carries.
struct Reply {
  MethodEnvelope envelope;
  ValueMap record() const {
    const ValueMap* m = envelope.result.asMap();
    return m != nullptr ? *m : ValueMap();
  }
};

AppcastItem item(std::string version, std::string display = {}) {
  AppcastItem i;
  i.versionString = std::move(version);
  i.displayVersionString = std::move(display);
  return i;
}

// The plug-in on its channels, the test playing the Dart side through the fake messenger.
class UpdaterPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin = std::make_shared<LumewellUpdaterPlugin>(
        [this](std::weak_ptr<UpdaterDelegate> delegate) {
          ++enginesMade;
          madeFor = delegate;
          engine = std::make_shared<FakeEngine>();
          return engine;
        },
        scheduler);
    plugin->registerChannels(messenger);
  }

  Reply call(const std::string& method, Value arguments = Value()) {
    auto answer = messenger.call("lumewell/updater", method, arguments);
    EXPECT_EQ(answer->answers, 1) << method;
    return Reply{answer->envelope.value_or(MethodEnvelope{})};
  }
  void listen() { EXPECT_TRUE(messenger.call(kEvents, "listen")->isSuccess()); }
  void clearEvents() { messenger.events.clear(); }
  // The status records sent on the event channel so far.
  std::vector<ValueMap> events() {
    std::vector<ValueMap> out;
    for (const Value& e : messenger.events[kEvents])
      out.push_back(e.asMap() ? *e.asMap() : ValueMap());
    return out;
  }

  void configure(const std::string& channel = "stable",
                 const std::string& feed = "https://updates.example/appcast.xml") {
    auto reply = call("configure", ValueMap{{"channel", channel}, {"feedUrl", feed}});
    ASSERT_EQ(reply.envelope.kind, MethodEnvelope::Kind::success);
  }

  static std::string str(const ValueMap& m, const char* key) {
    const std::string* s = mapString(&m, key);
    return s != nullptr ? *s : "<absent>";
  }

  static constexpr const char* kEvents = "lumewell/updater/events";
  VirtualScheduler scheduler;
  lumewell::testing::FakeMessenger messenger;
  std::shared_ptr<LumewellUpdaterPlugin> plugin;
  std::shared_ptr<FakeEngine> engine;
  std::weak_ptr<UpdaterDelegate> madeFor;
  int enginesMade = 0;
};

TEST_F(UpdaterPluginTest, FreshStatusSubscriptionAndUnknownMethods) {
  const ValueMap fresh{{"channel", "stable"}};
  EXPECT_EQ(call("getStatus").record(), fresh);
  listen();
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0], fresh);
  // Listening again replaces the sink and sends the record again.
  listen();
  EXPECT_EQ(events().size(), 2u);

  EXPECT_EQ(call("GetStatus").envelope.kind, MethodEnvelope::Kind::notImplemented);
  EXPECT_EQ(call("reset").envelope.kind, MethodEnvelope::Kind::notImplemented);

  messenger.call(kEvents, "cancel");
  configure();
  EXPECT_EQ(events().size(), 2u);  // no sink, no events
  EXPECT_EQ(enginesMade, 1);
}

TEST_F(UpdaterPluginTest, ConfigureArgumentRules) {
  listen();
  clearEvents();
  const std::vector<Value> bad = {
      Value(),
      Value("stable"),
      Value(ValueList{Value("stable")}),
      ValueMap{{"channel", "stable"}},
      ValueMap{{"channel", "stable"}, {"feedUrl", int32_t{5}}},
      ValueMap{{"channel", "stable"}, {"feedUrl", ""}},
      ValueMap{{"channel", "stable"}, {"feedUrl", "not a url"}},
      ValueMap{{"channel", "stable"}, {"feedUrl", "appcast.xml"}},
      ValueMap{{"feedUrl", "https://updates.example/appcast.xml"}},
      ValueMap{{"channel", true}, {"feedUrl", "https://updates.example/appcast.xml"}},
  };
  for (const Value& args : bad) {
    Reply reply = call("configure", args);
    ASSERT_EQ(reply.envelope.kind, MethodEnvelope::Kind::error);
    EXPECT_EQ(reply.envelope.error.code, "bad_args");
    EXPECT_EQ(reply.envelope.error.message,
              "channel and feedUrl are required to configure Sparkle.");
    EXPECT_TRUE(reply.envelope.error.details.isNull());
  }
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(enginesMade, 0);
  EXPECT_EQ(call("getStatus").record(), (ValueMap{{"channel", "stable"}}));

  // An empty channel is accepted; the engine is made, started and its cycle reset.
  Reply ok = call("configure", ValueMap{{"channel", ""}, {"feedUrl", "https://a.example/f.xml"}});
  ASSERT_EQ(ok.envelope.kind, MethodEnvelope::Kind::success);
  EXPECT_EQ(ok.record(), (ValueMap{{"channel", ""}, {"message", "Using the  update channel."}}));
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0], ok.record());
  EXPECT_EQ(engine->operations, (std::vector<std::string>{"start", "reset"}));
  EXPECT_EQ(madeFor.lock(), plugin);
  EXPECT_EQ(plugin->feedURLString(), "https://a.example/f.xml");

  // Configuring again keeps the engine, resets its cycle, and the delegate answers the new feed.
  plugin->didAbortWithError(Error{"x", 1, "boom"});
  configure("beta", "https://b.example/beta.xml");
  EXPECT_EQ(enginesMade, 1);
  EXPECT_EQ(engine->operations, (std::vector<std::string>{"start", "reset", "reset"}));
  EXPECT_EQ(plugin->feedURLString(), "https://b.example/beta.xml");
  EXPECT_EQ(call("getStatus").record(),
            (ValueMap{{"channel", "beta"}, {"message", "Using the beta update channel."}}));
}

TEST_F(UpdaterPluginTest, ChecksNeedConfigurationAndChooseProbeOrUserInitiated) {
  Reply refused = call("checkForUpdates", ValueMap{{"probeOnly", true}});
  ASSERT_EQ(refused.envelope.kind, MethodEnvelope::Kind::error);
  EXPECT_EQ(refused.envelope.error.code, "not_configured");
  EXPECT_EQ(refused.envelope.error.message, "Desktop updates are not configured yet.");
  EXPECT_EQ(call("getStatus").record(), (ValueMap{{"channel", "stable"}}));  // no lastCheckAt

  configure();
  listen();
  clearEvents();
  plugin->didAbortWithError(Error{"x", 1, "earlier failure"});
  scheduler.advance(std::chrono::milliseconds(2500));  // whole seconds are reported
  Reply probe = call("checkForUpdates", ValueMap{{"probeOnly", true}});
  EXPECT_EQ(engine->operations.back(), "information");
  const ValueMap expected{{"channel", "stable"},
                          {"lastCheckAt", "2025-01-01T00:00:02Z"},
                          {"message",
                           "Checking for updates without interrupting the current "
                           "session."}};
  EXPECT_EQ(probe.record(), expected);
  EXPECT_EQ(events().back(), expected);

  for (const Value& args : {Value(ValueMap{{"probeOnly", "yes"}}), Value(ValueMap{}), Value(),
                            Value(ValueMap{{"probeOnly", false}})}) {
    engine->operations.clear();
    Reply user = call("checkForUpdates", args);
    EXPECT_EQ(engine->operations, std::vector<std::string>{"check"});
    EXPECT_EQ(str(user.record(), "message"), "Checking for updates.");
  }
}

// What the status keeps and drops as the engine reports: a found version outlives the end of
// its cycle, an error goes with the next clean end, an abort reads as a failure.
TEST_F(UpdaterPluginTest, DelegateEffectsOnTheStatus) {
  configure();
  listen();
  clearEvents();
  plugin->didAbortWithError(Error{"updater", 3, "The feed is gone."});
  EXPECT_EQ(str(events().back(), "error"), "The feed is gone.");
  EXPECT_EQ(str(events().back(), "message"), "Desktop update check failed.");

  plugin->didFindValidUpdate(item("7048", "4.2.0"));
  EXPECT_EQ(events().back(), (ValueMap{{"channel", "stable"},
                                       {"availableVersion", "4.2.0"},
                                       {"message", "Version 4.2.0 is available."}}));
  plugin->didFindValidUpdate(item("7049"));  // no display version: the version itself
  plugin->didFinishUpdateCycle(UpdateCheck::updateInformation, std::nullopt);
  EXPECT_EQ(str(events().back(), "message"), "Version 7049 is available.");

  plugin->willInstallUpdate(item("7049", "4.3"));
  EXPECT_EQ(str(events().back(), "deferredUpdateVersion"), "4.3");
  plugin->willRelaunchApplication();
  EXPECT_EQ(events().back(),
            (ValueMap{{"channel", "stable"},
                      {"message", "Relaunching into the updated Lumewell Recorder build."}}));
  plugin->didFinishUpdateCycle(UpdateCheck::updates, Error{"updater", 4, "No network."});
  EXPECT_EQ(str(events().back(), "error"), "No network.");
  plugin->didFindValidUpdate(item("2"));
  plugin->didNotFindUpdate();
  EXPECT_EQ(events().back(), (ValueMap{{"channel", "stable"},
                                       {"message", "Lumewell Recorder is already up to date."}}));
}

TEST_F(UpdaterPluginTest, InstallOnQuitIsHeldWhileTheGuardIsDownAndRunsWhenRaised) {
  configure();
  listen();
  // Lowering the guard with nothing recorded leaves the message as it was.
  Reply lowered = call("setInstallGuard", ValueMap{{"installAllowed", false}});
  EXPECT_EQ(str(lowered.record(), "message"), "Using the stable update channel.");

  int installs = 0;
  EXPECT_TRUE(plugin->willInstallUpdateOnQuit(item("12", "1.2"), [&] { ++installs; }));
  EXPECT_EQ(installs, 0);
  EXPECT_EQ(str(events().back(), "deferredUpdateVersion"), "1.2");
  EXPECT_EQ(str(events().back(), "message"),
            "Update 1.2 is downloaded and queued for install when the session is idle.");

  // A second lowering now names the deferral.
  Reply again = call("setInstallGuard", ValueMap{{"installAllowed", false}});
  EXPECT_EQ(str(again.record(), "message"),
            "Update installation is deferred until the active session is safe to interrupt.");

  // No arguments raise the guard: the held block runs once, the version stays named.
  Reply raised = call("setInstallGuard");
  EXPECT_EQ(installs, 1);
  EXPECT_EQ(str(raised.record(), "message"), "Installing the downloaded update.");
  EXPECT_EQ(str(raised.record(), "deferredUpdateVersion"), "1.2");
  call("setInstallGuard", ValueMap{{"installAllowed", "no"}});  // malformed: raises too
  EXPECT_EQ(installs, 1);

  // With the guard raised, an install-on-quit request runs at once.
  EXPECT_TRUE(plugin->willInstallUpdateOnQuit(item("13"), [&] { ++installs; }));
  EXPECT_EQ(installs, 2);
  EXPECT_EQ(str(events().back(), "message"), "Installing the downloaded update.");
  EXPECT_EQ(str(events().back(), "deferredUpdateVersion"), "13");
}

TEST_F(UpdaterPluginTest, InstallDeferredUpdateReleasesOneHandlerRelaunchFirst) {
  configure();
  listen();
  call("setInstallGuard", ValueMap{{"installAllowed", false}});

  // Nothing held: nothing changes, not even the guard.
  const ValueMap status = call("getStatus").record();
  const size_t before = events().size();
  EXPECT_EQ(call("installDeferredUpdate").record(), status);
  EXPECT_EQ(events().size(), before);
  std::vector<std::string> ran;
  EXPECT_TRUE(plugin->shouldPostponeRelaunch(item("12"), [&] { ran.push_back("relaunch"); }));

  EXPECT_TRUE(plugin->willInstallUpdateOnQuit(item("13"), [&] { ran.push_back("install"); }));
  // Both held: the first release runs only the relaunch and clears the deferred version.
  Reply first = call("installDeferredUpdate");
  EXPECT_EQ(ran, std::vector<std::string>{"relaunch"});
  EXPECT_EQ(first.record(),
            (ValueMap{{"channel", "stable"}, {"message", "Installing the downloaded update."}}));
  // The guard stays raised: a new relaunch request is not postponed.
  EXPECT_FALSE(plugin->shouldPostponeRelaunch(item("14"), [&] { ran.push_back("other"); }));

  call("installDeferredUpdate");
  EXPECT_EQ(ran, (std::vector<std::string>{"relaunch", "install"}));
  const size_t settled = events().size();
  call("installDeferredUpdate");  // nothing left
  EXPECT_EQ(ran.size(), 2u);
  EXPECT_EQ(events().size(), settled);
}

TEST_F(UpdaterPluginTest, QuitInstallGoesToTheEngineOnlyOnceConfigured) {
  EXPECT_FALSE(plugin->installPendingOnQuit());
  configure();
  EXPECT_FALSE(plugin->installPendingOnQuit());
  EXPECT_EQ(engine->operations.back(), "installOnQuit");
}

}  // namespace
}  // namespace lumewell::updater
