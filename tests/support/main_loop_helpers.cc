#include "support/main_loop_helpers.h"

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "runtime/glib_scheduler.h"

namespace lumewell::testing {

bool spinUntil(GMainContext* context, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout) {
  return iterateUntil(context, pred, timeout);
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
