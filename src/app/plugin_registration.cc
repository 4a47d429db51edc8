#include "app/plugin_registration.h"

#include "bridge/lumewell_app_bridge.h"

namespace lumewell::app {

void registerHostPlugins(BinaryMessenger& messenger) {
  bridge::LumewellAppBridge::shared()->registerChannels(messenger);
  registerUpdaterPlugin(messenger);
  registerRecorderPlugin(messenger);
  wireRecorderActivity();
}

}  // namespace lumewell::app
