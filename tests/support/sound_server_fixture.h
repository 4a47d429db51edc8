#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "runtime/glib_scheduler.h"
#include "support/main_loop_helpers.h"
#include "support/pulse_server.h"

namespace lumewell::testing {

// A test against a private sound server of its own, exported to this process's libpulse, with
// a temp folder and a main context (the default one, or one of the test's own) with a
// scheduler on it.
class SoundServerTest : public ::testing::Test {
 protected:
  explicit SoundServerTest(PulseServer::Options options = {}, bool defaultContext = false);
  ~SoundServerTest() override;
  void SetUp() override;

  // A sine made in folder (see PulseServer::makeToneWav); its path.
  std::string tone(const std::string& name, double seconds, double dbfs, double hz);
  // Iterates ctx until pred() holds or the timeout passes; pred().
  bool spin(const std::function<bool()>& pred,
            std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void wait(std::chrono::milliseconds duration);
  // The index of the playback stream of process pid, or "".
  std::string sinkInputOf(pid_t pid) const;
  // Waits (bounded) until the server lists a playback stream of process pid.
  bool playing(pid_t pid) {
    return spin([&] { return !sinkInputOf(pid).empty(); });
  }
  // ffprobe's "codec,profile,sample rate,channels" of the file's first audio stream.
  static std::string audioFormat(const std::string& path);

  TempDir folder;
  PulseServer server;
  GMainContext* ctx;
  std::unique_ptr<GLibScheduler> scheduler;
};

}  // namespace lumewell::testing
