#pragma once

#include <string>

namespace lumewell {

// $XDG_RUNTIME_DIR/lumewell-recorder/host.sock (the runtime folder falls back to GLib's
// choice when the variable is unset).
std::string defaultSocketPath();

}  // namespace lumewell
