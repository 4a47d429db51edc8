#include <cstdio>

#include "app/host_control.h"
#include "app/plugin_registration.h"
#include "app/shutdown_hooks.h"
#include "updater/real_engine.h"
#include "updater/updater_plugin.h"

namespace lumewell::app {

void registerUpdaterPlugin(BinaryMessenger& messenger) {
  // After an install the engine relaunches the installed program: a fresh host that takes
  // over once this one has gone.
  updater::installRealEngine([](const std::string& executable) {
    if (auto error = restartHost(executable)) {
      std::fprintf(stderr, "Lumewell Recorder could not relaunch after the update: %s\n",
                   error->localizedDescription.c_str());
    }
  });
  updater::LumewellUpdaterPlugin::shared()->registerChannels(messenger);
  // An update downloaded in the background and waiting for the quit is installed on the way
  // out (after the recorder, registered later, has closed its streams).
  shutdownHooks().add("updater install on quit", [] {
    if (auto error = updater::installPendingUpdateOnQuit()) {
      std::fprintf(stderr, "Lumewell Recorder could not install the downloaded update: %s\n",
                   error->localizedDescription.c_str());
    }
  });
}

}  // namespace lumewell::app
