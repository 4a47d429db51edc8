#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace lumewell::app {

// The host's own command line. Everything that is not one of its options is a launch
// argument (a URL opened with the application, or something to reject as one).
struct HostOptions {
  std::string socketPath;  // empty: the default path
  std::optional<pid_t> waitForPid;
  std::vector<std::string> launchArguments;
  bool help = false;
  std::string error;  // a usage error, said on standard error
};

// args without the program name. Options: --socket PATH, --socket=PATH, --wait-for-pid=N,
// --help; "--" ends the options.
HostOptions parseHostOptions(std::vector<std::string> args);

inline constexpr const char* kHostUsage =
    "Usage: lumewell-recorder [--socket PATH] [URL...]\n"
    "Runs the Lumewell Recorder host, one per user session. URLs given to a later launch\n"
    "are handed to the running host.\n";

}  // namespace lumewell::app
