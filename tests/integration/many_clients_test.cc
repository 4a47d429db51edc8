// The host's channels over the real socket with many clients at once, on the real services
// against a private sound server: idle clients cannot crowd out a new one, and a stuck sound
// server holds up no channel. (Listeners' streams of their own: the channels' socket tests.)

#include <filesystem>

#include "app_audio/pulse_app_audio_services.h"
#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"
#include "pulse/pulse_audio_services.h"
#include "recorder/recorder_plugin.h"
#include "support/sound_server_fixture.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using recorder::LumewellNativeRecorderPlugin;
constexpr auto kSuccess = MethodEnvelope::Kind::success;
const std::string kMethods = LumewellNativeRecorderPlugin::kMethodChannel;

class ManyClients : public testing::SoundServerTest {
 protected:
  void SetUp() override {
    testing::privateDataHome();
    SoundServerTest::SetUp();
    auto host = SocketHostMessenger::listen(folder.path() + "/run/host.sock", ctx);
    ASSERT_TRUE(host.ok()) << host.error().localizedDescription;
    messenger = std::move(*host);
    recorder = std::make_shared<LumewellNativeRecorderPlugin>(
        *scheduler, std::make_shared<pulse::PulseAudioServices>(),
        std::make_shared<app_audio::PulseAppAudioServices>(
            app_audio::PulseAppAudioOptions{.scheduler = scheduler.get()}));
    recorder->registerChannels(*messenger);
  }
  SocketClientMessenger& connect() {
    auto m = SocketClientMessenger::connect(messenger->path(), ctx);
    EXPECT_TRUE(m.ok());
    clients.push_back(std::move(*m));
    return *clients.back();
  }
  // Calls and waits (bounded, against a hang) for the answer.
  MethodEnvelope call(SocketClientMessenger& c, const std::string& method,
                      const Value& args = Value()) {
    std::optional<MethodEnvelope> answer;
    MethodChannel(c, kMethods).invokeMethod(method, args, [&](auto env) {
      answer = env.ok() ? *env : MethodEnvelope{};
    });
    EXPECT_TRUE(spin([&] { return answer.has_value(); })) << method;
    return answer.value_or(MethodEnvelope{});
  }

  std::unique_ptr<SocketHostMessenger> messenger;
  std::shared_ptr<LumewellNativeRecorderPlugin> recorder;
  std::vector<std::unique_ptr<SocketClientMessenger>> clients;
};

TEST_F(ManyClients, IdleClientsAndAFrozenSoundServerHoldUpNoMethodAndItsQueriesFailInTime) {
  // 100 idle connections held: a new client is still answered, and threads stay few.
  for (int i = 0; i < 100; ++i) {
    connect();
    g_main_context_iteration(ctx, FALSE);
  }
  SocketClientMessenger& c = connect();
  ASSERT_EQ(call(c, "listAppAudioSources").kind, kSuccess);
  EXPECT_LT(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}), 50);

  server.freeze();
  // Every answer below arrives while the server is still stopped.
  std::vector<std::optional<MethodEnvelope>> sources(5);
  for (auto& answer : sources) {
    MethodChannel(c, kMethods).invokeMethod("listAppAudioSources", Value(), [&answer](auto env) {
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
