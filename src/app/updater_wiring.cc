#include "app/not_implemented_channel.h"
#include "app/plugin_registration.h"

namespace lumewell::app {

// Stand-in until the updater plug-in is wired here.
void registerUpdaterPlugin(BinaryMessenger& messenger) {
  registerNotImplementedChannel(messenger, "lumewell/updater");
}

}  // namespace lumewell::app
