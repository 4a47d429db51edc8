#pragma once

namespace lumewell::pulse {

// Microphone authorization as the sound server answers it: 3 (authorized) when it accepts
// the connection and has a capture source, 2 (denied) when it refuses access, -1 (unknown)
// otherwise (no server, no source, no answer in time). Blocks for at most a few seconds.
int microphoneAuthorizationStatus();

}  // namespace lumewell::pulse
