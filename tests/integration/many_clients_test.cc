// The host's channels over the real socket with several clients at once, on the real
// services against a private sound server: every listener gets its own events, idle clients
// cannot crowd out a new one, and a stuck sound server holds up no channel.

#include <filesystem>
#include <map>

#include "app_audio/pulse_app_audio_services.h"
#include "bridge/lumewell_app_bridge.h"
#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "support/sound_server_fixture.h"

namespace lumewell {
namespace {

using recorder::LumewellNativeRecorderPlugin;
constexpr auto kSuccess = MethodEnvelope::Kind::success;
const std::string kMethods = LumewellNativeRecorderPlugin::kMethodChannel;

// One Dart side: its connection and the events it received, per channel.
struct Client {
  std::unique_ptr<SocketClientMessenger> messenger;
  std::map<std::string, std::vector<Value>> events;
  bool saw(const std::string& channel, const std::string& type) {
    for (const auto& e : events[channel]) {
      if (const std::string* t = mapString(e.asMap(), "type"); t && *t == type) return true;
    }
    return false;
  }
};

class ManyClients : public testing::SoundServerTest {
 protected:
  void SetUp() override {
    SoundServerTest::SetUp();
    setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
    ASSERT_GT(server.play(tone("tone", 60, -6, 1000)), 0);
    auto host = SocketHostMessenger::listen(folder.path() + "/run/host.sock", ctx);
    ASSERT_TRUE(host.ok()) << host.error().localizedDescription;
    messenger = std::move(*host);
    bridge = std::make_shared<bridge::LumewellAppBridge>(
        *scheduler, [](const std::string&, std::function<void(bool)> done) { done(true); },
        [](std::string_view) {});
    bridge->registerChannels(*messenger);
    recorder = std::make_shared<LumewellNativeRecorderPlugin>(
        *scheduler, std::make_shared<pulse::PulseAudioServices>(),
        std::make_shared<app_audio::PulseAppAudioServices>(
            app_audio::PulseAppAudioOptions{.scheduler = scheduler.get()}));
    recorder->registerChannels(*messenger);
  }
  Client& connect() {
    auto m = SocketClientMessenger::connect(messenger->path(), ctx);
    EXPECT_TRUE(m.ok());
    clients.push_back(std::make_unique<Client>());
    clients.back()->messenger = std::move(*m);
    return *clients.back();
  }
  // Calls and waits (bounded, against a hang) for the answer.
  MethodEnvelope call(Client& c, const std::string& method, const Value& args = Value(),
                      const std::string& channel = kMethods) {
    std::optional<MethodEnvelope> answer;
    MethodChannel(*c.messenger, channel).invokeMethod(method, args, [&](auto env) {
      answer = env.ok() ? *env : MethodEnvelope{};
    });
    EXPECT_TRUE(spin([&] { return answer.has_value(); })) << method;
    return answer.value_or(MethodEnvelope{});
  }
  void listen(Client& c, const std::string& channel, const char* method = "listen") {
    c.messenger->setMessageHandler(channel, [&c, channel](ByteView bytes, BinaryReply) {
      auto env = StandardMethodCodec::decodeEnvelope(bytes);
      if (env.ok()) c.events[channel].push_back(env->result);
    });
    EXPECT_EQ(call(c, method, Value(), channel).kind, kSuccess) << method;
  }

  std::unique_ptr<SocketHostMessenger> messenger;
  std::shared_ptr<bridge::LumewellAppBridge> bridge;
  std::shared_ptr<LumewellNativeRecorderPlugin> recorder;
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
  ASSERT_TRUE(spin([&] { return b.events[appEvents].size() == 1; }));
  ASSERT_TRUE(spin([&] { return a.events[appEvents].size() == 2; }));
  EXPECT_EQ(*mapString(a.events[appEvents][0].asMap(), "url"), "lumewell://auth?code=1");
  EXPECT_EQ(*mapString(b.events[appEvents][0].asMap(), "url"), "lumewell://auth?code=2");

  // B listens to the recorder, cancels and quits: A's stream is untouched.
  listen(a, events);
  listen(b, events);
  listen(b, events, "cancel");
  clients[1]->messenger.reset();
  ASSERT_TRUE(spin([&] { return messenger->connectionCount() == 1; }));
  ASSERT_EQ(call(a, "startRecording",
                 Value(ValueMap{{"recordingId", Value("two-clients")},
                                {"captureMode", Value("MIC_ONLY")}}))
                .kind,
            kSuccess);
  wait(std::chrono::milliseconds(1500));
  ASSERT_EQ(call(a, "stopRecording").kind, kSuccess);
  ASSERT_TRUE(spin([&] { return a.saw(events, "stopped"); }));
  EXPECT_TRUE(a.saw(events, "level_changed"));
  EXPECT_TRUE(a.saw(events, "segment_sealed"));

  // 100 idle connections held: a new client is still answered, and threads stay few.
  for (int i = 0; i < 100; ++i) {
    connect();
    g_main_context_iteration(ctx, FALSE);
  }
  EXPECT_EQ(call(connect(), "getStorageStatus").kind, kSuccess);
  EXPECT_TRUE(a.messenger->isConnected());
  EXPECT_LE(messenger->connectionCount(), SocketHostMessenger::kConnectionLimit);
  EXPECT_LT(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}), 50);
}

TEST_F(ManyClients, AFrozenSoundServerHoldsUpNoMethodAndItsQueriesFailInTime) {
  Client& c = connect();
  ASSERT_EQ(call(c, "listAppAudioSources").kind, kSuccess);
  server.freeze();
  // Every answer below arrives while the server is still stopped.
  std::vector<std::optional<MethodEnvelope>> sources(5);
  for (auto& answer : sources) {
    MethodChannel(*c.messenger, kMethods)
        .invokeMethod("listAppAudioSources", Value(), [&answer](auto env) {
          if (env.ok()) answer = *env;
        });
  }
  EXPECT_EQ(call(c, "getStorageStatus").kind, kSuccess);
  auto preflight = call(c, "runPreflight", Value(ValueMap{{"captureMode", "MIC_ONLY"}}));
  ASSERT_EQ(preflight.kind, kSuccess);
  EXPECT_EQ(*mapBool(preflight.result.asMap(), "ready"), false);
  EXPECT_TRUE(spin([&] {
    return std::all_of(sources.begin(), sources.end(), [](auto& s) { return s.has_value(); });
  }));
  for (auto& answer : sources) EXPECT_EQ(answer->result, Value(ValueList{}));
  server.thaw();
}

}  // namespace
}  // namespace lumewell
