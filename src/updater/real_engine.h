#pragma once

#include <functional>
#include <string>

#include "runtime/error.h"

namespace lumewell::updater {

// Makes the shared updater plug-in use this build's appcast engine (its version, its signing
// key, the installation folder the executable runs from). relaunch must start the given
// executable once this process has gone and then end this process. Call at start-up, before
// the Dart side can configure the updater.
void installRealEngine(std::function<void(const std::string& executable)> relaunch);

// At quit, once the main loop has ended: installs an update downloaded in the background
// and not yet installed. Blocks until done; nothing waiting is no error.
[[nodiscard]] OptionalError installPendingUpdateOnQuit();

}  // namespace lumewell::updater
