#pragma once

#include <string>

#include "runtime/scheduler.h"

namespace lumewell {

// "2025-01-31T12:34:56.789Z": UTC with milliseconds (truncated, as the recorder writes).
std::string iso8601Millis(TimePoint t);
// "2025-01-31T12:34:56Z": UTC with whole seconds (as the updater writes).
std::string iso8601Seconds(TimePoint t);

}  // namespace lumewell
