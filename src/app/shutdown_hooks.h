#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace lumewell::app {

// Work that must happen before the host ends (SIGINT, SIGTERM, quit, restart): close sound
// streams, cancel compositions. Hooks run once, on the main thread, newest first, while the
// socket is still served.
class ShutdownHooks {
 public:
  // done must be called exactly once when the hook's work has finished; it may be called
  // later from the main loop (which keeps running while the host waits for it).
  using AsyncHook = std::function<void(std::function<void()> done)>;

  void add(std::string name, std::function<void()> hook);
  void addAsync(std::string name, AsyncHook hook);

  // Runs every hook and forgets it. An asynchronous hook is waited for by iterating context,
  // at most timeoutPerHook; a hook that does not finish in time is left behind with a line
  // on standard error so that shutdown never hangs.
  void runAll(GMainContext* context, std::chrono::milliseconds timeoutPerHook);

  size_t size() const { return hooks_.size(); }

 private:
  struct Hook {
    std::string name;
    AsyncHook run;
  };
  std::vector<Hook> hooks_;
};

// The host's hooks, run when the application shuts down.
ShutdownHooks& shutdownHooks();

}  // namespace lumewell::app
