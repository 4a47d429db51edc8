#pragma once

#include "channels/binary_messenger.h"

namespace lumewell::app {

// Registers the host's plug-ins on the messenger in the order app bridge, updater, recorder;
// each opens its method channel and its event channel on its process-wide instance.
void registerHostPlugins(BinaryMessenger& messenger);

// One per plug-in with services, each in its own file (updater_wiring.cc, recorder_wiring.cc):
// the place where a plug-in is given its platform services and registered. A plug-in that needs
// work done before the host ends adds it to shutdownHooks() (app/shutdown_hooks.h).
void registerUpdaterPlugin(BinaryMessenger& messenger);
void registerRecorderPlugin(BinaryMessenger& messenger);
// Lets the updater and the app bridge see whether the recorder is busy
// (recorder_activity_wiring.cc).
void wireRecorderActivity();

}  // namespace lumewell::app
