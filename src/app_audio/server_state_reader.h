#pragma once

#include <algorithm>

#include "app_audio/catalogue_rules.h"
#include "app_audio/pulse_loop.h"
#include "app_audio/snapshot_builder.h"

namespace lumewell::app_audio {

// Reads clients, playback streams, sinks and the default sink, afresh. Not on the loop's
// thread.
Result<ServerState> readServerState(PulseLoop& loop);

// application.process.id of a property list, when it is a positive decimal number.
std::optional<int32_t> processIdProperty(const pa_proplist* props);
std::string stringProperty(const pa_proplist* props, const char* key);

}  // namespace lumewell::app_audio
