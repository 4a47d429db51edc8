#include "updater/real_engine.h"

#include "runtime/glib_scheduler.h"
#include "updater/appcast_update_engine.h"
#include "updater/updater_plugin.h"

namespace lumewell::updater {

void installRealEngine(std::function<void(const std::string& executable)> relaunch) {
  LumewellUpdaterPlugin::setEngineFactory(
      [relaunch = std::move(relaunch)](std::weak_ptr<UpdaterDelegate> delegate) {
        AppcastEngineConfig config = AppcastEngineConfig::fromBuild();
        config.relaunch = relaunch;
        return std::make_shared<AppcastUpdateEngine>(std::move(delegate), mainScheduler(),
                                                     std::move(config));
      });
}

OptionalError installPendingUpdateOnQuit() {
  return LumewellUpdaterPlugin::shared()->installPendingOnQuit();
}

}  // namespace lumewell::updater
