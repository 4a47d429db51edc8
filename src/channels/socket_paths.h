#pragma once

#include <sys/un.h>

#include <string>

namespace lumewell {

// $XDG_RUNTIME_DIR/lumewell-recorder/host.sock (the runtime folder falls back to GLib's
// choice when the variable is unset).
std::string defaultSocketPath();

// The address of the socket at path; false when the path is too long for one.
bool socketAddress(const std::string& path, sockaddr_un* addr);

}  // namespace lumewell
