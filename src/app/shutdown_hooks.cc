#include "app/shutdown_hooks.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "runtime/glib_scheduler.h"

namespace lumewell::app {

void ShutdownHooks::add(std::string name, std::function<void()> hook) {
  addAsync(std::move(name), [hook = std::move(hook)](std::function<void()> done) {
    hook();
    done();
  });
}

void ShutdownHooks::addAsync(std::string name, AsyncHook hook) {
  hooks_.push_back({std::move(name), std::move(hook)});
}

void ShutdownHooks::runAll(GMainContext* context, std::chrono::milliseconds timeoutPerHook) {
  // Taken out first: a hook that adds another hook does not extend this run.
  auto hooks = std::exchange(hooks_, {});
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
    auto finished = std::make_shared<bool>(false);
    it->run([finished] { *finished = true; });
    if (!iterateUntil(
            context, [&] { return *finished; }, timeoutPerHook)) {
      std::fprintf(stderr, "Lumewell Recorder shutdown step \"%s\" did not finish in time\n",
                   it->name.c_str());
    }
  }
}

ShutdownHooks& shutdownHooks() {
  static ShutdownHooks hooks;
  return hooks;
}

}  // namespace lumewell::app
