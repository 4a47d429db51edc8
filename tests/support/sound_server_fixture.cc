#include "support/sound_server_fixture.h"

namespace lumewell::testing {

SoundServerTest::SoundServerTest(PulseServer::Options options, bool defaultContext)
    : server(options),
      ctx(defaultContext ? g_main_context_ref(g_main_context_default()) : g_main_context_new()),
      scheduler(std::make_unique<GLibScheduler>(ctx)) {}

SoundServerTest::~SoundServerTest() {
  scheduler.reset();
  g_main_context_unref(ctx);
}

void SoundServerTest::SetUp() {
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  server.exportEnvironment();
}

std::string SoundServerTest::tone(const std::string& name, double seconds, double dbfs, double hz) {
  const std::string path = folder.path() + "/" + name + ".wav";
  EXPECT_TRUE(PulseServer::makeToneWav(path, seconds, dbfs, hz)) << path;
  return path;
}

bool SoundServerTest::spin(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  return spinUntil(ctx, pred, timeout);
}

void SoundServerTest::wait(std::chrono::milliseconds duration) {
  spinUntil(
      ctx, [] { return false; }, duration);
}

std::string SoundServerTest::sinkInputOf(pid_t pid) const {
  const std::string out =
      commandOutput("PULSE_SERVER='" + server.address() + "' pactl list sink-inputs");
  const size_t at = out.find("application.process.id = \"" + std::to_string(pid) + "\"");
  const size_t head = at == std::string::npos ? at : out.rfind("Sink Input #", at);
  if (head == std::string::npos) return {};
  return out.substr(head + 12, out.find('\n', head) - head - 12);
}

std::string SoundServerTest::audioFormat(const std::string& path) {
  return commandOutput(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,profile,sample_rate,channels -of csv=p=0 '" +
      path + "'");
}

}  // namespace lumewell::testing
