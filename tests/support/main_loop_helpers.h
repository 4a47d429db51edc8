#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <string>

#include "runtime/virtual_scheduler.h"

namespace lumewell::testing {

// Iterates the given GLib context until pred() holds or the timeout passes; returns pred().
bool spinUntil(GMainContext* context, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs a virtual main loop's posted work until pred() holds, letting worker threads make
// progress between rounds; false after 30 s.
bool pumpUntil(VirtualScheduler& scheduler, const std::function<bool()>& pred);

// A fresh folder below the system temp folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace lumewell::testing
