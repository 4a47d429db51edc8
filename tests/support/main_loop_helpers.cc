#include "support/main_loop_helpers.h"

#include <filesystem>
#include <stdexcept>
#include <thread>

namespace lumewell::testing {

bool spinUntil(GMainContext* context, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout) {
  const gint64 deadline = g_get_monotonic_time() + timeout.count() * 1000;
  while (!pred()) {
    if (g_get_monotonic_time() >= deadline) return pred();
    // Wake at least every 10 ms so the deadline is honoured even with nothing to dispatch.
    GSource* tick = g_timeout_source_new(10);
    g_source_set_callback(
        tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(tick, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
  }
  return true;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "lumewell-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool pumpUntil(VirtualScheduler& scheduler, const std::function<bool()>& pred) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!pred()) {
    if (scheduler.runPending() == 0) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

}  // namespace lumewell::testing
