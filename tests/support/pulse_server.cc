#include "support/pulse_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace lumewell::testing {

namespace {

using namespace std::chrono_literals;

// Waits up to timeoutMs for a child to end; its exit status, or -1 if it still runs.
int waitFor(pid_t pid, int timeoutMs) {
  return waitForChild(pid, std::chrono::milliseconds(timeoutMs)).value_or(-1);
}

bool exited(pid_t pid) { return pid > 0 && waitFor(pid, 0) != -1; }

}  // namespace

PulseServer::PulseServer(Options options) : options_(options), folder_(dir_.path()) {
  std::filesystem::create_directories(folder_ + "/run");
  ::chmod((folder_ + "/run").c_str(), 0700);
  std::ofstream config(folder_ + "/ci.pa");
  config << "load-module module-native-protocol-unix auth-anonymous=1\n";
  for (const std::string& line : setUpCommands()) config << line << "\n";
}

bool PulseServer::pipewire() {
  const char* which = std::getenv("LUMEWELL_TEST_SOUND_SERVER");
  return which != nullptr && std::string(which) == "pipewire";
}

PulseServer::~PulseServer() {
  thaw();
  for (pid_t& pid : players_) stopPid(pid);
  for (pid_t& pid : keepAlive_) stopPid(pid);
  for (pid_t* pid : {&serverPid_, &wireplumberPid_, &pipewirePid_, &busPid_}) stopPid(*pid);
}

std::vector<std::string> PulseServer::setUpCommands() const {
  std::vector<std::string> lines = {
      "load-module module-null-sink sink_name=vsink rate=48000 channels=2",
      "load-module module-null-sink sink_name=micfeed rate=48000 channels=1"};
  if (options_.secondSink) {
    lines.push_back("load-module module-null-sink sink_name=vsink2 rate=48000 channels=2");
  }
  lines.push_back("set-default-sink vsink");
  lines.push_back("set-default-source micfeed.monitor");
  return lines;
}

std::string PulseServer::address() const { return "unix:" + folder_ + "/run/pulse/native"; }

pid_t PulseServer::spawn(const std::vector<std::string>& argv, bool client,
                         const std::string& output) const {
  std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + folder_ + "/run", "HOME=" + folder_,
                                  "PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C",
                                  "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_ + "/bus"};
  if (client) env.push_back("PULSE_SERVER=" + address());
  try {
    return spawnProcess(argv, env, output, output);
  } catch (const std::exception&) {
    return -1;
  }
}

int PulseServer::runClient(const std::vector<std::string>& argv, int timeoutMs) const {
  pid_t pid = spawn(argv, true, folder_ + "/clients.log");
  if (pid < 0) return -1;
  int status = waitFor(pid, timeoutMs);
  if (status == -1) stopProcess(pid);
  return status;
}

bool PulseServer::start(std::string* error) {
  if (serverPid_ > 0) return true;
  const std::string name = pipewire() ? "pipewire-pulse" : "pulseaudio";
  const std::string log = folder_ + (pipewire() ? "/pipewire.log" : "/pulse.log");
  auto fail = [&](const std::string& why) {
    if (error) *error = name + why;
    return false;
  };
  const auto spawnedAt = std::chrono::steady_clock::now();
  if (pipewire()
          ? !startPipewire()
          : (serverPid_ = spawn({"pulseaudio", "-n", "-F", folder_ + "/ci.pa", "--daemonize=no",
                                 "--exit-idle-time=-1", "--log-target=file:" + log},
                                false, folder_ + "/pulse.out")) < 0) {
    return fail(" cannot be started");
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (exited(serverPid_)) {
      serverPid_ = -1;
      return fail(" exited; see " + log);
    }
    if (runClient({"pactl", "info"}, 2000) != 0) {
      std::this_thread::sleep_for(100ms);
      continue;
    }
    if (pipewire() && !setUpSinks()) return fail(" did not take the null sinks; see " + log);
    // A silent low-latency player on each sink keeps it rendering in 20 ms steps for the
    // server's whole life, so that monitors deliver promptly whatever the test's players ask.
    for (pid_t& pid : keepAlive_) stopPid(pid);
    keepAlive_.clear();
    for (std::string sink : {"micfeed", "vsink", "vsink2"}) {
      if (sink == "vsink2" && !options_.secondSink) continue;
      keepAlive_.push_back(
          spawn({"paplay", "--latency-msec=20", "-d", sink, "--raw", "--client-name=Keep awake",
                 "--rate=48000", "--channels=1", "--format=s16le", "/dev/zero"},
                true, folder_ + "/clients.log"));
    }
    // PulseAudio: an idle null sink sleeps through its first block of about 2 s and only
    // then honours low-latency clients. PipeWire: the session manager links new streams a
    // moment after they appear.
    std::this_thread::sleep_until(pipewire() ? std::chrono::steady_clock::now() + 500ms
                                             : spawnedAt + 2300ms);
    return true;
  }
  stopPid(serverPid_);
  return fail(" did not answer in time");
}

// PipeWire, its session manager (which links streams to devices; it needs a session bus) and
// the pulse server. Only the pulse server goes down in kill9(); a restart brings it and its
// sinks back on the same PipeWire.
bool PulseServer::startPipewire() {
  const std::string log = folder_ + "/pipewire.log";
  auto awaitFile = [](const std::string& path) {
    for (int i = 0; i < 250 && !std::filesystem::exists(path); ++i) {
      std::this_thread::sleep_for(20ms);
    }
  };
  if (busPid_ < 0) {
    busPid_ =
        spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + folder_ + "/bus"},
              false, log);
    awaitFile(folder_ + "/bus");
  }
  // The graph's processes keep their pages in memory: a reclaimed code page costs a page fault
  // on the data thread, which misses its cycle and drops a quantum of the virtual microphone
  // (machines that page out cold memory, as DAMON does, lost 256-1024 samples that way).
  for (const char* program : {"pipewire", "pipewire-pulse"}) {
    const std::string dropIns = folder_ + "/.config/pipewire/" + program + ".conf.d";
    std::filesystem::create_directories(dropIns);
    std::ofstream(dropIns + "/90-locked.conf") << "context.properties = { mem.mlock-all = true }\n";
  }
  if (pipewirePid_ < 0) {
    pipewirePid_ = spawn({"pipewire"}, false, log);
    // The session manager gives up at once when PipeWire is not yet listening.
    awaitFile(folder_ + "/run/pipewire-0");
  }
  if (exited(wireplumberPid_)) wireplumberPid_ = -1;
  if (wireplumberPid_ < 0) wireplumberPid_ = spawn({"wireplumber"}, false, log);
  serverPid_ = spawn({"pipewire-pulse"}, false, log);
  return busPid_ > 0 && pipewirePid_ > 0 && wireplumberPid_ > 0 && serverPid_ > 0;
}

// pipewire-pulse answers before PipeWire and its session manager are ready for modules: each
// step is tried again for a bounded while, and a session manager (which holds the defaults)
// that lost its race with PipeWire is started again.
bool PulseServer::setUpSinks() {
  for (const std::string& line : setUpCommands()) {
    std::vector<std::string> command = {"pactl"};
    std::istringstream words(line);
    for (std::string word; words >> word;) command.push_back(word);
    bool done = false;
    for (int attempt = 0; attempt < 50 && !(done = runClient(command) == 0); ++attempt) {
      if (exited(wireplumberPid_)) {
        wireplumberPid_ = spawn({"wireplumber"}, false, folder_ + "/pipewire.log");
      }
      std::this_thread::sleep_for(100ms);
    }
    if (!done) return false;
  }
  return true;
}

void PulseServer::kill9() {
  if (serverPid_ <= 0) return;
  frozen_ = false;
  ::kill(serverPid_, SIGKILL);
  waitFor(serverPid_, 5000);
  serverPid_ = -1;  // its keep-alive players end with it
}

void PulseServer::freeze() {
  if (serverPid_ > 0 && ::kill(serverPid_, SIGSTOP) == 0) frozen_ = true;
}

void PulseServer::thaw() {
  if (frozen_ && serverPid_ > 0) ::kill(serverPid_, SIGCONT);
  frozen_ = false;
}

void PulseServer::exportEnvironment() const {
  ::setenv("PULSE_SERVER", address().c_str(), 1);
  ::unsetenv("PULSE_COOKIE");
}

pid_t PulseServer::play(const std::string& soundFile) {
  return launch({"paplay", "--latency-msec=1000", "-d", "micfeed", soundFile});
}

pid_t PulseServer::launch(const std::vector<std::string>& argv) {
  pid_t pid = spawn(argv, true, folder_ + "/clients.log");
  if (pid > 0) players_.push_back(pid);
  return pid;
}

void PulseServer::end(pid_t pid) {
  if (std::erase(players_, pid) > 0) stopProcess(pid);
}

void PulseServer::stopPid(pid_t& pid) {
  if (pid > 0) stopProcess(pid);
  pid = -1;
}

bool PulseServer::makeToneWav(const std::string& path, double seconds, double dbfs, double hz) {
  return std::system(("sox -q -n -r 48000 -c 1 -b 16 '" + path + "' synth " +
                      std::to_string(seconds) + " sine " + std::to_string(hz) + " gain " +
                      std::to_string(dbfs) + " 2>/dev/null")
                         .c_str()) == 0;
}

}  // namespace lumewell::testing
