#pragma once

#include <functional>
#include <string_view>

namespace lumewell::bridge {

// Where the shell's and the bridge's log lines go.
using LogSink = std::function<void(std::string_view line)>;

// Writes one line to standard output and flushes it, so a line is never held back in a
// buffer when the process is killed or its output is a pipe.
void writeLogLine(std::string_view line);

}  // namespace lumewell::bridge
