#include "app/shutdown_hooks.h"

#include <gtest/gtest.h>

namespace lumewell::app {
namespace {

TEST(ShutdownHooks, RunNewestFirstOnceWaitingForAsynchronousOnesButNotForever) {
  ShutdownHooks hooks;
  std::vector<std::string> order;
  hooks.add("bridge", [&] { order.push_back("bridge"); });
  std::function<void()> finishRecorder;
  hooks.addAsync("recorder", [&](std::function<void()> done) {
    order.push_back("recorder started");
    // Finishes later, from the main loop, as a stream that closes asynchronously does.
    finishRecorder = [&order, done] {
      order.push_back("recorder finished");
      done();
    };
    g_idle_add(
        +[](gpointer fn) -> gboolean {
          (*static_cast<std::function<void()>*>(fn))();
          return G_SOURCE_REMOVE;
        },
        &finishRecorder);
  });
  hooks.add("compositions", [&] { order.push_back("compositions"); });

  hooks.runAll(g_main_context_default(), std::chrono::seconds(10));
  EXPECT_EQ(order, (std::vector<std::string>{"compositions", "recorder started",
                                             "recorder finished", "bridge"}));
  EXPECT_EQ(hooks.size(), 0u);
  hooks.runAll(g_main_context_default(), std::chrono::seconds(10));
  EXPECT_EQ(order.size(), 4u);

  // A hook that never finishes does not hold the others forever.
  bool laterRan = false;
  hooks.add("later", [&] { laterRan = true; });
  hooks.addAsync("stuck", [](std::function<void()>) {});
  hooks.runAll(g_main_context_default(), std::chrono::milliseconds(20));
  EXPECT_TRUE(laterRan);
}

}  // namespace
}  // namespace lumewell::app
