#include "app/shutdown_hooks.h"

#include <cstdio>
#include <memory>

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
  auto hooks = std::move(hooks_);
  hooks_.clear();
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
    auto finished = std::make_shared<bool>(false);
    it->run([finished] { *finished = true; });
    const gint64 deadline = g_get_monotonic_time() + timeoutPerHook.count() * 1000;
    while (!*finished && g_get_monotonic_time() < deadline) {
      // Wake at least every 10 ms to notice the deadline with nothing to dispatch.
      GSource* tick = g_timeout_source_new(10);
      g_source_set_callback(
          tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
      g_source_attach(tick, context);
      g_main_context_iteration(context, TRUE);
      g_source_destroy(tick);
      g_source_unref(tick);
    }
    if (!*finished) {
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
