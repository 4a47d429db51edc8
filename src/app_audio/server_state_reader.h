#pragma once

#include <algorithm>
#include <chrono>

#include "app_audio/catalogue_rules.h"
#include "app_audio/snapshot_builder.h"
#include "pulse/pulse_connection.h"

namespace lumewell::app_audio {

// Reads clients, playback streams, sinks and the default sink, afresh, answered by the
// deadline at the latest. Not on the libpulse thread; the connection must not be locked.
Result<ServerState> readServerState(pulse::PulseConnection& connection,
                                    std::chrono::steady_clock::time_point deadline);

// application.process.id of a property list, when it is a positive decimal number.
std::optional<int32_t> processIdProperty(const pa_proplist* props);

}  // namespace lumewell::app_audio
