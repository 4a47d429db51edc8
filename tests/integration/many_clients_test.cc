// The host's channels over the real socket with several clients at once, on the real
// services against a private PulseAudio: every listener gets its own events, idle clients
// cannot crowd out a new one, and a stuck sound server holds up no channel.
#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app_audio/pulse_app_audio_services.h"
#include "bridge/lumewell_app_bridge.h"
#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

namespace lumewell {
namespace {

using namespace std::chrono_literals;
using recorder::LumewellNativeRecorderPlugin;
using testing::PulseServer;
using testing::spinUntil;

size_t threadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// One Dart side: its connection and the event types it received, per channel.
struct Client {
  std::unique_ptr<SocketClientMessenger> messenger;
  std::map<std::string, std::vector<Value>> events;
};

class ManyClients : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    server.exportEnvironment();
    setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
    ASSERT_TRUE(PulseServer::makeToneWav(folder.path() + "/tone.wav", 60, -6, 1000));
    ASSERT_GT(server.play(folder.path() + "/tone.wav"), 0);
    ctx = g_main_context_new();
    scheduler = std::make_unique<GLibScheduler>(ctx);
    auto host = SocketHostMessenger::listen(folder.path() + "/run/host.sock", ctx);
    ASSERT_TRUE(host.ok()) << host.error().localizedDescription;
    messenger = std::move(*host);
    app_audio::PulseAppAudioOptions options;
    options.scheduler = scheduler.get();
    recorder = std::make_shared<LumewellNativeRecorderPlugin>(
        *scheduler, std::make_shared<pulse::PulseAudioServices>(),
        std::make_shared<app_audio::PulseAppAudioServices>(options));
    recorder->registerChannels(*messenger);
    bridge = std::make_shared<bridge::LumewellAppBridge>(
        *scheduler, [](const std::string&, std::function<void(bool)> done) { done(true); },
        [](std::string_view) {});
    bridge->registerChannels(*messenger);
  }
  void TearDown() override {
    clients.clear();
    recorder.reset();
    bridge.reset();
    messenger.reset();
    scheduler.reset();
    if (ctx != nullptr) g_main_context_unref(ctx);
  }
  Client& connect() {
    auto m = SocketClientMessenger::connect(messenger->path(), ctx);
    EXPECT_TRUE(m.ok());
    clients.push_back(std::make_unique<Client>());
    clients.back()->messenger = std::move(*m);
    return *clients.back();
  }
  // Calls and waits (bounded, against a hang) for the answer.
  MethodEnvelope call(Client& c, const std::string& channel, const std::string& method,
                      const Value& args = Value()) {
    std::optional<MethodEnvelope> answer;
    MethodChannel(*c.messenger, channel).invokeMethod(method, args, [&](auto env) {
      answer = env.ok() ? *env : MethodEnvelope{};
    });
    EXPECT_TRUE(spinUntil(
        ctx, [&] { return answer.has_value(); }, 20s))
        << method;
    return answer.value_or(MethodEnvelope{});
  }
  void listen(Client& c, const std::string& channel, const char* method = "listen") {
    c.messenger->setMessageHandler(channel, [&c, channel](ByteView bytes, BinaryReply) {
      auto env = StandardMethodCodec::decodeEnvelope(bytes);
      if (env.ok()) c.events[channel].push_back(env->result);
    });
    EXPECT_EQ(call(c, channel, method).kind, MethodEnvelope::Kind::success) << method;
  }
  static std::vector<std::string> types(const std::vector<Value>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (const std::string* t = mapString(e.asMap(), "type")) out.push_back(*t);
    }
    return out;
  }

  testing::TempDir folder;
  PulseServer server;
  GMainContext* ctx = nullptr;
  std::unique_ptr<GLibScheduler> scheduler;
  std::unique_ptr<SocketHostMessenger> messenger;
  std::shared_ptr<LumewellNativeRecorderPlugin> recorder;
  std::shared_ptr<bridge::LumewellAppBridge> bridge;
  std::vector<std::unique_ptr<Client>> clients;
};

TEST_F(ManyClients, AListenerThatLeavesTakesNoOtherListenersEventsAndIdleOnesCrowdOutNobody) {
  const std::string events = LumewellNativeRecorderPlugin::kEventChannel;
  const std::string appEvents = bridge::kAppEventChannel;
  Client& a = connect();
  Client& b = connect();
  // A held sign-in callback goes to the first listener only; a later one to every listener.
  bridge->handleIncomingUrl("lumewell://auth?code=1");
  listen(a, appEvents);
  listen(b, appEvents);
  bridge->handleIncomingUrl("lumewell://auth?code=2");
  ASSERT_TRUE(spinUntil(ctx, [&] { return b.events[appEvents].size() == 1; }));
  ASSERT_TRUE(spinUntil(ctx, [&] { return a.events[appEvents].size() == 2; }));
  EXPECT_EQ(*mapString(a.events[appEvents][0].asMap(), "url"), "lumewell://auth?code=1");
  EXPECT_EQ(*mapString(b.events[appEvents][0].asMap(), "url"), "lumewell://auth?code=2");

  // B listens to the recorder, cancels and quits: A's stream is untouched.
  listen(a, events);
  listen(b, events);
  listen(b, events, "cancel");
  clients[1]->messenger.reset();
  ASSERT_TRUE(spinUntil(ctx, [&] { return messenger->connectionCount() == 1; }));
  Value start(ValueMap{{"recordingId", Value("two-clients")}, {"captureMode", Value("MIC_ONLY")}});
  ASSERT_EQ(call(a, LumewellNativeRecorderPlugin::kMethodChannel, "startRecording", start).kind,
            MethodEnvelope::Kind::success);
  spinUntil(
      ctx, [] { return false; }, 1500ms);
  ASSERT_EQ(call(a, LumewellNativeRecorderPlugin::kMethodChannel, "stopRecording").kind,
            MethodEnvelope::Kind::success);
  ASSERT_TRUE(spinUntil(ctx, [&] {
    auto seen = types(a.events[events]);
    return std::find(seen.begin(), seen.end(), "stopped") != seen.end();
  }));
  auto seen = types(a.events[events]);
  for (const char* type : {"level_changed", "segment_sealed", "stopped"}) {
    EXPECT_NE(std::find(seen.begin(), seen.end(), type), seen.end()) << type;
  }

  // 100 idle connections held: a new client is still answered, and threads stay few.
  for (int i = 0; i < 100; ++i) {
    connect();
    g_main_context_iteration(ctx, FALSE);
  }
  Client& late = connect();
  EXPECT_EQ(call(late, LumewellNativeRecorderPlugin::kMethodChannel, "getStorageStatus").kind,
            MethodEnvelope::Kind::success);
  EXPECT_TRUE(a.messenger->isConnected());
  EXPECT_LE(messenger->connectionCount(), SocketHostMessenger::kConnectionLimit);
  EXPECT_LT(threadCount(), 50u);
}

TEST_F(ManyClients, AFrozenSoundServerHoldsUpNoMethodAndItsQueriesFailInTime) {
  Client& c = connect();
  const std::string channel = LumewellNativeRecorderPlugin::kMethodChannel;
  ASSERT_EQ(call(c, channel, "listAppAudioSources").kind, MethodEnvelope::Kind::success);
  server.freeze();
  // Every answer below arrives while the server is still stopped.
  std::vector<std::optional<MethodEnvelope>> sources(5);
  for (auto& answer : sources) {
    MethodChannel(*c.messenger, channel)
        .invokeMethod("listAppAudioSources", Value(), [&answer](auto env) {
          if (env.ok()) answer = *env;
        });
  }
  EXPECT_EQ(call(c, channel, "getStorageStatus").kind, MethodEnvelope::Kind::success);
  auto preflight = call(c, channel, "runPreflight", Value(ValueMap{{"captureMode", "MIC_ONLY"}}));
  ASSERT_EQ(preflight.kind, MethodEnvelope::Kind::success);
  EXPECT_EQ(*mapBool(preflight.result.asMap(), "ready"), false);
  EXPECT_TRUE(spinUntil(ctx, [&] {
    return std::all_of(sources.begin(), sources.end(), [](auto& s) { return s.has_value(); });
  }));
  for (auto& answer : sources) EXPECT_EQ(answer->result, Value(ValueList{}));
  EXPECT_TRUE(server.running());
  server.thaw();
}

}  // namespace
}  // namespace lumewell
