#pragma once

#include <chrono>

namespace lumewell::pulse {

inline constexpr std::chrono::milliseconds kStatusDeadline{2000};

// Microphone authorization as the sound server answers it: 3 (authorized) when it accepts
// the connection and has a capture source, 2 (denied) when it refuses access, -1 (unknown)
// otherwise (no server, no source, no answer within `within`). Blocks for at most that long.
int microphoneAuthorizationStatus(std::chrono::milliseconds within = kStatusDeadline);

}  // namespace lumewell::pulse
