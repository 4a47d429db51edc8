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
    if (arg == "--socket") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        options.error = "--socket needs a path";
        return options;
      }
      options.socketPath = args[++i];
    } else if (arg.rfind("--socket=", 0) == 0) {
      options.socketPath = arg.substr(9);
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
