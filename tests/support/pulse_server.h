#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/main_loop_helpers.h"
#include "support/process_runner.h"

namespace lumewell::testing {

// A private sound server for integration tests: its own runtime folder and HOME below a temp
// folder, null sinks ("vsink" for playback, "micfeed" whose monitor is the default source, the
// virtual microphone). PulseAudio, or PipeWire's pulse server (pipewire, wireplumber and
// pipewire-pulse on a private session bus) when LUMEWELL_TEST_SOUND_SERVER=pipewire. All it
// starts is stopped by process id at destruction.
class PulseServer {
 public:
  struct Options {
    bool secondSink = false;  // "vsink2"
  };
  PulseServer() : PulseServer(Options{}) {}
  explicit PulseServer(Options options);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Starts the daemon (again after kill9(), at the same address) and waits (bounded) until
  // `pactl info` answers and the virtual microphone delivers promptly. False with a reason.
  bool start(std::string* error = nullptr);
  static bool pipewire();
  void kill9();  // as a crash would; the socket file stays behind
  // SIGSTOP / SIGCONT: a server that stops answering without closing its socket.
  void freeze();
  void thaw();

  // Points this process's libpulse at the server (PULSE_SERVER) and clears PULSE_COOKIE.
  void exportEnvironment() const;
  std::string address() const;  // "unix:<runtime dir>/pulse/native"

  // Plays a sound file into the virtual microphone (a deep buffer: a busy machine must not
  // starve it), or starts argv as a client (a player); stopped by end(pid) or at destruction.
  // The pid.
  pid_t play(const std::string& soundFile);
  pid_t launch(const std::vector<std::string>& argv);
  void end(pid_t pid);  // stops it, or reaps one that ended by itself

  // Runs a client tool against this server; its exit status, or -1 when it did not end within
  // timeoutMs (it is then killed).
  int runClient(const std::vector<std::string>& argv, int timeoutMs = 5000) const;

  // A sine of hz at dbfs (peak) lasting seconds, 48 kHz mono 16-bit WAV, made with sox.
  static bool makeToneWav(const std::string& path, double seconds, double dbfs, double hz);

 private:
  std::vector<std::string> setUpCommands() const;
  bool startPipewire();
  bool setUpSinks();
  pid_t spawn(const std::vector<std::string>& argv, bool client, const std::string& output) const;
  static void stopPid(pid_t& pid);

  Options options_;
  TempDir dir_;
  std::string folder_;
  pid_t serverPid_ = -1;
  std::vector<pid_t> keepAlive_, players_;  // silent players on every sink; launch()'s
  pid_t busPid_ = -1, pipewirePid_ = -1, wireplumberPid_ = -1;  // PipeWire only
  bool frozen_ = false;
};

}  // namespace lumewell::testing
