#include "app/not_implemented_channel.h"
#include "app/plugin_registration.h"

namespace lumewell::app {

// Stand-in until the recorder plug-in is wired here.
void registerRecorderPlugin(BinaryMessenger& messenger) {
  registerNotImplementedChannel(messenger, "lumewell/native_recorder");
}

}  // namespace lumewell::app
