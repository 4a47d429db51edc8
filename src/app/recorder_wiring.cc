#include <memory>

#include "app/plugin_registration.h"
#include "app/shutdown_hooks.h"
#include "app_audio/pulse_app_audio_services.h"
#include "media/compose_audio.h"
#include "pulse/pulse_audio_services.h"
#include "pulse/pulse_connection.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"

namespace lumewell::app {

// The recorder on the real services: the sound server for the microphone and for other
// applications' audio, FFmpeg for files. On shutdown a running recording is stopped the way
// "stopRecording" stops it, so its last segment is sealed and reported, and compositions
// still running are cancelled.
void registerRecorderPlugin(BinaryMessenger& messenger) {
  using recorder::LumewellNativeRecorderPlugin;
  // The first recording should not wait for the server's hand-shake.
  pulse::PulseConnection::shared().connectInBackground();
  LumewellNativeRecorderPlugin::configureShared([] {
    return std::make_shared<LumewellNativeRecorderPlugin>(
        mainScheduler(), std::make_shared<pulse::PulseAudioServices>(),
        std::make_shared<app_audio::PulseAppAudioServices>());
  });
  auto plugin = LumewellNativeRecorderPlugin::shared();
  plugin->registerChannels(messenger);

  // Hooks run newest first: the recording is stopped (its last segment sealed) before the
  // compositions still running, such as an assembly, are cancelled.
  shutdownHooks().add("compositions", [] {
    pulse::cancelQueuedCompositions();
    media::cancelAllCompositions();
  });
  shutdownHooks().addAsync("recorder", [plugin](std::function<void()> done) {
    if (plugin->runtimeState() != recorder::RuntimeState::recording) return done();
    auto result = std::make_shared<MethodResult>([done](Bytes) { done(); });
    plugin->handleMethodCall(MethodCall{"stopRecording", Value()}, std::move(result));
  });
}

}  // namespace lumewell::app
