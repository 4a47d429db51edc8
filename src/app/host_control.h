#pragma once

#include "runtime/error.h"

namespace lumewell::app {

// For plug-in wiring (the updater's relaunch after an install): end the running host
// cleanly, or start a fresh instance that takes over once this one has exited and then
// quit. Main thread. Without a running host, restart answers an error and nothing happens.
void quitHost();
OptionalError restartHost();

}  // namespace lumewell::app
