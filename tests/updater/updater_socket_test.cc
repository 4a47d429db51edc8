#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"
#include "runtime/glib_scheduler.h"
#include "support/loopback_http_server.h"
#include "support/main_loop_helpers.h"
#include "update_test_support.h"
#include "updater/appcast_update_engine.h"
#include "updater/updater_plugin.h"

namespace lumewell::updater {
namespace {

using lumewell::testing::spinUntil;

// The Dart side's view: the plug-in with the real engine on the host's socket, a client in
// the same process, and a loopback feed offering 1.2.
TEST(UpdaterOverSocket, ProbeReportsTheAvailableVersionAsStatusEvents) {
  GMainContext* context = g_main_context_new();
  {
    GLibScheduler scheduler(context);
    lumewell::testing::TempDir dir;
    lumewell::testing::LoopbackHttpServer server;
    testing::SigningKey key;
    const std::string archive =
        testing::makeArchive({testing::executable("bin/lumewell-recorder", "new build")});
    server.serve("/appcast.xml", testing::oneItemAppcast(archive.size(), key.signBase64(archive)));
    server.serve("/lumewell-1.2.0.tar.gz", archive);

    auto plugin = std::make_shared<LumewellUpdaterPlugin>(
        [&](std::weak_ptr<UpdaterDelegate> delegate) {
          AppcastEngineConfig config;
          config.runningVersion = "1.0.0";
          config.publicKeyBase64 = key.publicKeyBase64();
          config.installationFolder = dir.path() + "/install";
          config.downloadFolder = dir.path() + "/cache";
          return std::make_shared<AppcastUpdateEngine>(std::move(delegate), scheduler, config);
        },
        scheduler);
    const std::string socketPath = dir.path() + "/run/host.sock";
    auto host = SocketHostMessenger::listen(socketPath, context);
    ASSERT_TRUE(host) << host.error().localizedDescription;
    plugin->registerChannels(**host);
    auto client = SocketClientMessenger::connect(socketPath, context);
    ASSERT_TRUE(client) << client.error().localizedDescription;

    std::vector<ValueMap> events;
    (*client)->setMessageHandler("lumewell/updater/events", [&](ByteView message, BinaryReply) {
      auto envelope = StandardMethodCodec::decodeEnvelope(message);
      ASSERT_TRUE(envelope);
      ASSERT_TRUE(envelope->result.asMap());
      events.push_back(*envelope->result.asMap());
    });
    MethodChannel eventChannel(**client, "lumewell/updater/events");
    MethodChannel updater(**client, "lumewell/updater");
    std::vector<MethodEnvelope> replies;
    auto collect = [&](Result<MethodEnvelope> reply) {
      ASSERT_TRUE(reply);
      replies.push_back(*reply);
    };

    eventChannel.invokeMethod("listen", Value(), collect);
    ASSERT_TRUE(spinUntil(context, [&] { return replies.size() == 1 && events.size() == 1; }));
    EXPECT_EQ(events[0], (ValueMap{{"channel", "stable"}}));

    updater.invokeMethod("configure",
                         ValueMap{{"channel", "beta"}, {"feedUrl", server.url("/appcast.xml")}},
                         collect);
    ASSERT_TRUE(spinUntil(context, [&] { return replies.size() == 2; }));
    ASSERT_EQ(replies[1].kind, MethodEnvelope::Kind::success);
    EXPECT_EQ(replies[1].result,
              Value(ValueMap{{"channel", "beta"}, {"message", "Using the beta update channel."}}));

    updater.invokeMethod("checkForUpdates", ValueMap{{"probeOnly", true}}, collect);
    ASSERT_TRUE(spinUntil(context, [&] { return replies.size() == 3; }));
    const ValueMap* probing = replies[2].result.asMap();
    ASSERT_TRUE(probing);
    EXPECT_EQ(*mapString(probing, "message"),
              "Checking for updates without interrupting the current session.");
    const std::string checkedAt = *mapString(probing, "lastCheckAt");
    EXPECT_EQ(checkedAt.size(), 20u);
    EXPECT_EQ(checkedAt.back(), 'Z');

    // Found, then the cycle's end (which keeps the found version's message).
    ASSERT_TRUE(spinUntil(context, [&] {
      return events.size() >= 5 && mapString(&events.back(), "availableVersion") != nullptr;
    }));
    const ValueMap found{{"channel", "beta"},
                         {"availableVersion", "1.2"},
                         {"lastCheckAt", checkedAt},
                         {"message", "Version 1.2 is available."}};
    EXPECT_EQ(events[events.size() - 2], found);
    EXPECT_EQ(events.back(), found);
    EXPECT_EQ(server.requestCount("/lumewell-1.2.0.tar.gz"), 0);  // a probe downloads nothing

    updater.invokeMethod("getStatus", Value(), collect);
    ASSERT_TRUE(spinUntil(context, [&] { return replies.size() == 4; }));
    EXPECT_EQ(replies[3].result, Value(found));
    client.value().reset();
    host.value().reset();
  }
  g_main_context_unref(context);
}

}  // namespace
}  // namespace lumewell::updater
