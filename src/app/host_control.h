#pragma once

#include <string>

#include "runtime/error.h"

namespace lumewell::app {

// For plug-in wiring (the updater's relaunch after an install): start a fresh instance that
// takes over once this one has exited, then quit. executable: the program to start (empty:
// the one this process runs); it gets the host's own options (--socket). Main thread.
// Without a running host, or when the new instance cannot be started, this answers an error
// and nothing quits.
[[nodiscard]] OptionalError restartHost(const std::string& executable = {});

}  // namespace lumewell::app
