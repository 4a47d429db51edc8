#include "app/host_options.h"

#include "runtime/relaunch.h"

namespace lumewell::app {

HostOptions parseHostOptions(std::vector<std::string> args) {
  HostOptions options;
  options.waitForPid = takeWaitForPidArgument(args);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      options.launchArguments.insert(options.launchArguments.end(), args.begin() + i + 1,
                                     args.end());
      break;
    }
    if (arg == "--socket" || arg.rfind("--socket=", 0) == 0) {
      const bool separate = arg == "--socket";
      options.socketPath = !separate ? arg.substr(9) : i + 1 < args.size() ? args[++i] : "";
      if (options.socketPath.empty()) {
        options.error = "--socket needs a path";
        return options;
      }
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else {
      options.launchArguments.push_back(arg);
    }
  }
  return options;
}

}  // namespace lumewell::app
