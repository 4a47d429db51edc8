#include "app/plugin_registration.h"

#include "bridge/lumewell_app_bridge.h"

namespace lumewell::app {

void registerAppBridgePlugin(BinaryMessenger& messenger) {
  bridge::LumewellAppBridge::shared()->registerChannels(messenger);
}

void registerHostPlugins(BinaryMessenger& messenger) {
  registerAppBridgePlugin(messenger);
  registerUpdaterPlugin(messenger);
  registerRecorderPlugin(messenger);
  wireRecorderActivity();
}

}  // namespace lumewell::app
