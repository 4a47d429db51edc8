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
  explicit SoundServerTest(PulseServer::Options options = {}, bool defaultContext = false)
      : server(options),
        ctx(defaultContext ? g_main_context_ref(g_main_context_default()) : g_main_context_new()),
        scheduler(std::make_unique<GLibScheduler>(ctx)) {}
  ~SoundServerTest() override {
    scheduler.reset();
    g_main_context_unref(ctx);
  }
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    server.exportEnvironment();
  }

  // A sine made in folder (see PulseServer::makeToneWav); its path.
  std::string tone(const std::string& name, double seconds, double dbfs, double hz) {
    const std::string path = folder.path() + "/" + name + ".wav";
    EXPECT_TRUE(PulseServer::makeToneWav(path, seconds, dbfs, hz)) << path;
    return path;
  }
  // Iterates ctx until pred() holds or the timeout passes; pred().
  bool spin(const std::function<bool()>& pred,
            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return spinUntil(ctx, pred, timeout);
  }
  void wait(std::chrono::milliseconds duration) {
    spin([] { return false; }, duration);
  }
  // The index of the playback stream of process pid, or "".
  std::string sinkInputOf(pid_t pid) const {
    const std::string out =
        commandOutput("PULSE_SERVER='" + server.address() + "' pactl list sink-inputs");
    const size_t at = out.find("application.process.id = \"" + std::to_string(pid) + "\"");
    const size_t head = at == std::string::npos ? at : out.rfind("Sink Input #", at);
    if (head == std::string::npos) return {};
    return out.substr(head + 12, out.find('\n', head) - head - 12);
  }
  // Waits (bounded) until the server lists a playback stream of process pid.
  bool playing(pid_t pid) {
    return spin([&] { return !sinkInputOf(pid).empty(); });
  }
  // ffprobe's "codec,profile,sample rate,channels" of the file's first audio stream.
  static std::string audioFormat(const std::string& path) {
    return commandOutput(
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=codec_name,profile,sample_rate,channels -of csv=p=0 '" +
        path + "'");
  }

  TempDir folder;
  PulseServer server;
  GMainContext* ctx;
  std::unique_ptr<GLibScheduler> scheduler;
};

}  // namespace lumewell::testing
