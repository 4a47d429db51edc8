#include <memory>

#include "app/plugin_registration.h"
#include "app/shutdown_hooks.h"
#include "bridge/lumewell_app_bridge.h"
#include "recorder/recorder_plugin.h"
#include "runtime/glib_scheduler.h"
#include "updater/updater_plugin.h"

namespace lumewell::app {

// Neither an update relaunch nor "restartApp" may end the host while a recording runs or is
// paused: the updater and the app bridge ask the recorder's state before they do, and hear
// when the session is idle again to carry out what they held.
void wireRecorderActivity() {
  auto recorder = recorder::LumewellNativeRecorderPlugin::shared();
  if (!recorder) return;
  std::weak_ptr<recorder::LumewellNativeRecorderPlugin> weak = recorder;
  auto busy = [weak] {
    auto plugin = weak.lock();
    return plugin && plugin->runtimeState() != recorder::RuntimeState::idle;
  };
  auto updater = updater::LumewellUpdaterPlugin::shared();
  auto bridge = bridge::LumewellAppBridge::shared();
  updater->setRecorderBusy(busy);
  bridge->setRecorderBusy(busy);
  recorder->setIdleListener([] {
    // From the main loop, once the call or event that ended the session has been answered.
    mainScheduler().post([] {
      updater::LumewellUpdaterPlugin::shared()->recorderBecameIdle();
      bridge::LumewellAppBridge::shared()->recorderBecameIdle();
    });
  });
  // Hooks run newest first: before the recorder's own hook stops a recording on the way out,
  // so that stopping it for the quit releases no held relaunch or restart.
  shutdownHooks().add("recorder activity", [weak] {
    if (auto plugin = weak.lock()) plugin->setIdleListener(nullptr);
  });
}

}  // namespace lumewell::app
